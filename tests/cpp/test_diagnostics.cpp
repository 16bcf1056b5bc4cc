// Diagnostic lines never raise: with exceptions turned on for std::cerr and a stream buffer that
// cannot write, update still returns its code, a locked setter still returns false and the
// loader's policy warning does not abort loading; the line is dropped and std::cerr keeps the
// exception mask and state it had.

#include <ios>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "test_support.hpp"

namespace kivo_test {
namespace {

// A stream buffer for std::cerr that can be broken: it then reports end-of-file, or throws as a
// failing device might; otherwise it keeps what is written.
class BreakableBuffer : public std::streambuf {
 public:
  enum class Mode { Eof, Throw, Write };
  explicit BreakableBuffer(Mode mode) : mode_(mode) {}
  void repair() { mode_ = Mode::Write; }
  const std::string& text() const { return text_; }

 protected:
  int_type overflow(int_type ch) override {
    if (mode_ != Mode::Write) return fail();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) text_.push_back(traits_type::to_char_type(ch));
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    if (mode_ != Mode::Write) return fail();
    text_.append(data, static_cast<std::size_t>(count));
    return count;
  }

 private:
  int fail() const {
    if (mode_ == Mode::Throw) throw std::runtime_error("device gone");
    return 0;
  }
  Mode mode_;
  std::string text_;
};

struct Failure {
  const char* label;
  BreakableBuffer::Mode mode;
  std::ios_base::iostate mask;
};

// Routes std::cerr to `buffer` with the exception mask `mask` for the lifetime of the object.
class RedirectedStderr {
 public:
  RedirectedStderr(std::streambuf* buffer, std::ios_base::iostate mask)
      : saved_buffer_(std::cerr.rdbuf(buffer)), saved_mask_(std::cerr.exceptions()) {
    std::cerr.exceptions(mask);
  }
  RedirectedStderr(const RedirectedStderr&) = delete;
  ~RedirectedStderr() {
    std::cerr.exceptions(std::ios_base::goodbit);
    std::cerr.rdbuf(saved_buffer_);
    std::cerr.exceptions(saved_mask_);
  }

 private:
  std::streambuf* saved_buffer_;
  std::ios_base::iostate saved_mask_;
};

class UnwritableStderr : public testing::TestWithParam<Failure> {
 protected:
  void expectStreamAsBefore() const {
    EXPECT_EQ(std::cerr.rdstate(), std::ios_base::goodbit);
    EXPECT_EQ(std::cerr.exceptions(), GetParam().mask);
  }
  BreakableBuffer buffer_{GetParam().mode};
  RedirectedStderr redirect_{&buffer_, GetParam().mask};
};

const std::string kLockedFile = R"({"tf_wrench_config": {"policy": "hard_rt",
  "set_input_reference_point": {"origin": "moving_frame", "translation": [0.1, 0, 0]}}})";

TEST_P(UnwritableStderr, RefusedUpdateReturnsItsCode) {
  for (const auto& [policy, code] : {std::pair{Policy::BestEffort, Code::NotReady}, std::pair{Policy::StrictRt, Code::Error}}) {
    kivo::KivoTfWrench unset(makeConfig({}, {}, {}, {}, policy));
    std::array<double, 6> wrench_out{};
    EXPECT_EQ(unset.update({1, 0, 0, 0, 0, 0}, wrench_out), code);
    expectStreamAsBefore();

    kivo::KivoTfWrench no_tf(makeConfig(movingPoint(0.1, 0, 0), movingAxes(), fixedPoint(0, 0, 0), fixedAxes(kH, kH, 0, 0), policy));
    EXPECT_EQ(no_tf.update({1, 0, 0, 0, 0, 0}, wrench_out), code);
    expectStreamAsBefore();
    // The refusals dropped their lines; the block works once it is given its transform.
    no_tf.setFixedToMovingFrameTf({1, 2, 3, kH, 0, 0, kH});
    EXPECT_EQ(no_tf.update({1, 0, 0, 0, 0, 0}, wrench_out), Code::Ok);
    expectNear(wrench_out, {0, 0, -1, -3, 1, 0});
  }
}

TEST_P(UnwritableStderr, LockedSetterReturnsFalse) {
  const TempJsonFile file(kLockedFile);
  kivo::KivoTfWrench locked(file.path);
  EXPECT_FALSE(locked.setInputReferencePoint("fixed_frame", {1, 2, 3}));
  expectStreamAsBefore();
  EXPECT_TRUE(locked.setOutputReferencePoint("fixed_frame", {1, 2, 3}));
}

TEST_P(UnwritableStderr, UnknownPolicyStillLoads) {
  const TempJsonFile file(R"({"tf_wrench_config": {"policy": "Hard_RT"}})");
  const kivo::KivoTfConfigInternal record = kivo::loadTfConfigFromFile(file.path, "tf_wrench_config");
  EXPECT_EQ(record.policy, Policy::BestEffort);
  expectStreamAsBefore();
}

// After a dropped line the stream is as it was, so the next line arrives once stderr can be
// written again.
TEST_P(UnwritableStderr, NextLineArrivesOnceStderrWorksAgain) {
  kivo::KivoTfWrench unset(makeConfig({}, {}, {}, {}));
  std::array<double, 6> wrench_out{};
  EXPECT_EQ(unset.update({}, wrench_out), Code::NotReady);
  buffer_.repair();
  EXPECT_EQ(unset.update({}, wrench_out), Code::NotReady);
  EXPECT_EQ(buffer_.text(), "KivoTfWrench: update() called before all TF entries are set.\n");
  expectStreamAsBefore();
}

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, UnwritableStderr,
    testing::Values(Failure{"EofWithBadbitMask", BreakableBuffer::Mode::Eof, std::ios_base::badbit},
                    Failure{"ThrowingBufferWithBadbitMask", BreakableBuffer::Mode::Throw, std::ios_base::badbit},
                    Failure{"EofWithFullMask", BreakableBuffer::Mode::Eof,
                            std::ios_base::badbit | std::ios_base::failbit | std::ios_base::eofbit},
                    Failure{"ThrowingBufferWithoutMask", BreakableBuffer::Mode::Throw, std::ios_base::goodbit}),
    [](const testing::TestParamInfo<Failure>& param_info) { return std::string(param_info.param.label); });

}  // namespace
}  // namespace kivo_test
