// `kivo_tf_tools._bag_scan`: the records of bag chunks and the few message layouts the log tools
// read, scanned over whole buffers instead of one Python object per message.
//
// Containers: a ROS 1 chunk (format 2.0) is a run of records {uint32 header size, header fields
// "name=value" each prefixed by its uint32 size, uint32 data size, data}; a message record has
// op=0x02 with conn (uint32) and time (uint32 sec, uint32 nsec). An MCAP chunk is a run of records
// {uint8 opcode, uint64 length, content}; a message record (0x05) holds uint16 channel, uint32
// sequence, uint64 log time, uint64 publish time, then the message. Both are little-endian.
//
// Messages: a stamped signal is a header then `floats` float64 values; the header is ROS 1
// {uint32 seq, uint32 sec, uint32 nsec, string frame_id} (little-endian, no alignment) or CDR
// {int32 sec, uint32 nanosec, string frame_id} after a 4-byte encapsulation header {0, 0|1, _, _}
// giving the byte order (1: little-endian), each primitive aligned to its size counted from the
// end of that header and a string's length counting its terminating NUL. A TFMessage is a
// sequence of {header, string child_frame_id, translation xyz, rotation xyzw}.
//
// A message that does not have exactly its layout (short, trailing bytes, a bad encapsulation or
// string) is marked as not fitting; the caller reads it another way. Stamps are int64 ns (ROS 1
// seconds unsigned, CDR seconds signed); values are returned in native byte order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using Bytes = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Int64In = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// Results are tuples of arrays and counts, typed `tuple[object, ...]` in the stub.
using Results = nb::typed<nb::tuple, nb::object, nb::ellipsis>;

// A std::vector handed to NumPy without a copy: the array owns it through a capsule.
template <class T>
nb::ndarray<nb::numpy, T> toNumpy(std::vector<T>&& values, std::size_t columns = 1) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const std::size_t rows = columns > 0 ? owned->size() / columns : 0;
  if (columns == 1) {
    return nb::ndarray<nb::numpy, T>(owned->data(), {rows}, owner);
  }
  return nb::ndarray<nb::numpy, T>(owned->data(), {rows, columns}, owner);
}

template <class T>
T loadLittle(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;  // the supported hosts are little-endian
}

template <class T>
T loadOrder(const std::uint8_t* at, bool little) noexcept {
  std::uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, at, sizeof(T));
  if (!little) {
    std::reverse(bytes, bytes + sizeof(T));
  }
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// Names seen in a call, each once, numbered in order of first appearance.
class Names {
 public:
  std::int64_t id(const std::uint8_t* at, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(at), size);
    if (last_ >= 0 && names_[static_cast<std::size_t>(last_)] == name) {
      return last_;  // messages of a topic mostly repeat one frame id
    }
    std::string key(name);
    auto found = index_.find(key);
    if (found == index_.end()) {
      names_.push_back(key);
      found = index_.emplace(std::move(key), static_cast<std::int64_t>(names_.size() - 1)).first;
    }
    last_ = found->second;
    return last_;
  }

  nb::list list() const {
    nb::list out;
    for (const auto& name : names_) {
      out.append(nb::bytes(name.data(), name.size()));
    }
    return out;
  }

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, std::int64_t> index_;
  std::int64_t last_ = -1;
};

// --- ROS 1 chunks ------------------------------------------------------------------------------

struct Ros1Record {
  std::uint8_t op = 0;
  bool has_op = false, has_conn = false, has_time = false;
  std::uint32_t conn = 0;
  std::int64_t time = 0;
  std::size_t data = 0, size = 0, end = 0;
};

// The record at `at` of `chunk`; an empty error when it is whole.
std::string readRos1Record(const std::uint8_t* chunk, std::size_t length, std::size_t at,
                           Ros1Record& record) {
  if (at + 4 > length) {
    return "a record runs past the end of its chunk";
  }
  const std::size_t header_size = loadLittle<std::uint32_t>(chunk + at);
  std::size_t field = at + 4;
  const std::size_t header_end = field + header_size;
  if (header_end + 4 > length) {
    return "a record runs past the end of its chunk";
  }
  record = Ros1Record{};
  while (field < header_end) {
    if (field + 4 > header_end) {
      return "a record header field is damaged";
    }
    const std::size_t size = loadLittle<std::uint32_t>(chunk + field);
    field += 4;
    if (size > header_end - field) {
      return "a record header field is damaged";
    }
    const std::uint8_t* text = chunk + field;
    const auto* sep = static_cast<const std::uint8_t*>(std::memchr(text, '=', size));
    if (sep == nullptr) {
      return "a record header field is damaged";
    }
    const std::string_view name(reinterpret_cast<const char*>(text),
                                static_cast<std::size_t>(sep - text));
    const std::uint8_t* value = sep + 1;
    const std::size_t value_size = size - static_cast<std::size_t>(value - text);
    if (name == "op") {
      if (value_size != 1) {
        return "a record's op is not one byte";
      }
      record.op = value[0];
      record.has_op = true;
    } else if (name == "conn") {
      if (value_size != 4) {
        return "a record's conn is not four bytes";
      }
      record.conn = loadLittle<std::uint32_t>(value);
      record.has_conn = true;
    } else if (name == "time") {
      if (value_size != 8) {
        return "a record's time is not eight bytes";
      }
      record.time = static_cast<std::int64_t>(loadLittle<std::uint32_t>(value)) * 1'000'000'000 +
                    loadLittle<std::uint32_t>(value + 4);
      record.has_time = true;
    }
    field += size;
  }
  record.size = loadLittle<std::uint32_t>(chunk + header_end);
  record.data = header_end + 4;
  if (record.size > length - record.data) {
    return "a record runs past the end of its chunk";
  }
  record.end = record.data + record.size;
  if (!record.has_op) {
    return "a record has no op";
  }
  return {};
}

constexpr std::uint8_t kRos1Message = 0x02;
constexpr std::uint8_t kRos1Connection = 0x07;

// The message records at the index entries `offsets` of a decompressed chunk, each after any
// connection records there: (conn, time ns, data start, data size, how many were read, error).
// Reading stops at the first entry that is not a whole message record; `error` says why.
Results ros1Messages(const Bytes& chunk_in, const Int64In& offsets_in) {
  const std::uint8_t* chunk = chunk_in.data();
  const std::size_t length = chunk_in.shape(0);
  const std::size_t count = offsets_in.shape(0);
  const std::int64_t* offsets = offsets_in.data();
  std::vector<std::int64_t> conn(count), time(count), start(count), size(count);
  std::string error;
  std::size_t read = 0;
  {
    nb::gil_scoped_release unlocked;
    for (; read < count; ++read) {
      if (offsets[read] < 0) {
        error = "an index entry points outside its chunk";
        break;
      }
      std::size_t at = static_cast<std::size_t>(offsets[read]);
      Ros1Record record;
      for (;;) {
        error = readRos1Record(chunk, length, at, record);
        if (!error.empty() || record.op != kRos1Connection) {
          break;
        }
        at = record.end;
      }
      if (!error.empty()) {
        break;
      }
      if (record.op != kRos1Message || !record.has_conn || !record.has_time) {
        error = "expected a message record at an index entry";
        break;
      }
      conn[read] = record.conn;
      time[read] = record.time;
      start[read] = static_cast<std::int64_t>(record.data);
      size[read] = static_cast<std::int64_t>(record.size);
    }
  }
  for (auto* column : {&conn, &time, &start, &size}) {
    column->resize(read);
  }
  return nb::make_tuple(toNumpy(std::move(conn)), toNumpy(std::move(time)),
                        toNumpy(std::move(start)), toNumpy(std::move(size)), read, error);
}

// --- MCAP chunks -------------------------------------------------------------------------------

constexpr std::uint8_t kMcapMessage = 0x05;
constexpr std::size_t kMcapMessageHead = 22;  // channel, sequence, log time, publish time

// Every message record of a decompressed MCAP chunk, in record order: (channel, log time ns,
// data start, data size, error). An empty error when the chunk is whole.
Results mcapMessages(const Bytes& chunk_in) {
  const std::uint8_t* chunk = chunk_in.data();
  const std::size_t length = chunk_in.shape(0);
  std::vector<std::int64_t> channel, time, start, size;
  std::string error;
  {
    nb::gil_scoped_release unlocked;
    std::size_t at = 0;
    while (at < length) {
      if (length - at < 9) {
        error = "a record runs past the end of its chunk";
        break;
      }
      const std::uint8_t op = chunk[at];
      const std::uint64_t record = loadLittle<std::uint64_t>(chunk + at + 1);
      at += 9;
      if (record > length - at) {
        error = "a record runs past the end of its chunk";
        break;
      }
      if (op == kMcapMessage) {
        if (record < kMcapMessageHead) {
          error = "Invalid message record length " + std::to_string(record) + ".";
          break;
        }
        channel.push_back(loadLittle<std::uint16_t>(chunk + at));
        time.push_back(static_cast<std::int64_t>(loadLittle<std::uint64_t>(chunk + at + 6)));
        start.push_back(static_cast<std::int64_t>(at + kMcapMessageHead));
        size.push_back(static_cast<std::int64_t>(record - kMcapMessageHead));
      }
      at += record;
    }
  }
  return nb::make_tuple(toNumpy(std::move(channel)), toNumpy(std::move(time)),
                        toNumpy(std::move(start)), toNumpy(std::move(size)), error);
}

// --- messages ----------------------------------------------------------------------------------

// A serialised message being read: bounds-checked reads, CDR alignment counted from byte 4.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size, bool ros1)
      : data_(data), size_(size), ros1_(ros1) {}

  // CDR: the encapsulation header; false when it is not plain CDR.
  bool begin() {
    if (ros1_) {
      return true;
    }
    if (size_ < 4 || data_[0] != 0 || data_[1] > 1) {
      return false;
    }
    little_ = data_[1] == 1;
    at_ = 4;
    return true;
  }

  bool align(std::size_t size) {
    if (!ros1_) {
      at_ = 4 + ((at_ - 4 + size - 1) & ~(size - 1));
    }
    return at_ <= size_;
  }

  template <class T>
  bool read(T& value) {
    if (!align(sizeof(T)) || size_ - at_ < sizeof(T)) {
      return false;
    }
    value = loadOrder<T>(data_ + at_, little_);
    at_ += sizeof(T);
    return true;
  }

  // A string: (start, size) of its bytes, the CDR terminating NUL left out.
  bool string(std::size_t& start, std::size_t& size) {
    std::uint32_t length = 0;
    if (!read(length) || length > size_ - at_) {
      return false;
    }
    start = at_;
    size = length;
    if (!ros1_) {
      if (length < 1 || data_[at_ + length - 1] != 0) {
        return false;
      }
      size = length - 1;
    }
    at_ += length;
    return true;
  }

  // Header stamp (ns) and seq (ROS 1; 0 in CDR).
  bool header(std::int64_t& stamp, std::int64_t& seq, std::size_t& frame, std::size_t& frame_size) {
    if (ros1_) {
      std::uint32_t seq32 = 0, sec = 0, nsec = 0;
      if (!read(seq32) || !read(sec) || !read(nsec)) {
        return false;
      }
      seq = seq32;
      stamp = static_cast<std::int64_t>(sec) * 1'000'000'000 + nsec;
    } else {
      std::int32_t sec = 0;
      std::uint32_t nsec = 0;
      if (!read(sec) || !read(nsec)) {
        return false;
      }
      seq = 0;
      stamp = static_cast<std::int64_t>(sec) * 1'000'000'000 + nsec;
    }
    return string(frame, frame_size);
  }

  // Whole: nothing after the last field but CDR's padding to a multiple of 4.
  bool finished() const { return ros1_ ? at_ == size_ : size_ - at_ < 4; }

  const std::uint8_t* at(std::size_t offset) const { return data_ + offset; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ros1_;
  bool little_ = true;
};

// Message k of a buffer, data[starts[k]:starts[k] + sizes[k]], to be read.
Cursor messageAt(const Bytes& data, const Int64In& starts, const Int64In& sizes, std::size_t k,
                 bool ros1) {
  const auto length = static_cast<std::int64_t>(data.shape(0));
  const std::int64_t start = starts.data()[k], size = sizes.data()[k];
  if (start < 0 || size < 0 || start > length || size > length - start) {
    throw std::invalid_argument("a message lies outside the buffer");
  }
  return Cursor(data.data() + start, static_cast<std::size_t>(size), ros1);
}

// Stamped signals: per message (header stamp ns, seq, frame id number, fits), the `floats`
// values of each in serialised order (a zero row where the message does not fit), and the frame
// ids as bytes, numbered by first appearance.
Results decodeStamped(const Bytes& data_in, const Int64In& starts_in, const Int64In& sizes_in,
                        bool ros1, std::size_t floats) {
  const std::size_t count = starts_in.shape(0);
  if (sizes_in.shape(0) != count) {
    throw std::invalid_argument("starts and sizes differ in length");
  }
  std::vector<std::int64_t> stamps(count), seqs(count), frames(count, -1);
  std::vector<double> values(count * floats, 0.0);
  std::vector<std::uint8_t> fits(count, 0);
  Names names;
  for (std::size_t k = 0; k < count; ++k) {
    Cursor cursor = messageAt(data_in, starts_in, sizes_in, k, ros1);
    std::size_t frame = 0, frame_size = 0;
    if (!cursor.begin() || !cursor.header(stamps[k], seqs[k], frame, frame_size)) {
      continue;
    }
    bool whole = true;
    for (std::size_t j = 0; j < floats && whole; ++j) {
      whole = cursor.read(values[k * floats + j]);
    }
    if (!whole || !cursor.finished()) {
      std::fill_n(values.begin() + static_cast<std::ptrdiff_t>(k * floats), floats, 0.0);
      continue;
    }
    frames[k] = names.id(cursor.at(frame), frame_size);
    fits[k] = 1;
  }
  return nb::make_tuple(toNumpy(std::move(stamps)), toNumpy(std::move(seqs)),
                        toNumpy(std::move(frames)), toNumpy(std::move(fits)),
                        toNumpy(std::move(values), floats), names.list());
}

// TFMessages: per transform (message number, parent and child frame numbers, stamp ns, pose
// [x, y, z, qw, qx, qy, qz]), per message whether it fits (the transforms of one that does not
// are left out), and the frame ids as bytes, numbered by first appearance.
Results decodeTf(const Bytes& data_in, const Int64In& starts_in, const Int64In& sizes_in,
                   bool ros1) {
  const std::size_t count = starts_in.shape(0);
  if (sizes_in.shape(0) != count) {
    throw std::invalid_argument("starts and sizes differ in length");
  }
  std::vector<std::int64_t> message, parent, child, stamps;
  std::vector<double> poses;
  std::vector<std::uint8_t> fits(count, 0);
  Names names;
  for (std::size_t k = 0; k < count; ++k) {
    Cursor cursor = messageAt(data_in, starts_in, sizes_in, k, ros1);
    const std::size_t kept = message.size();
    std::uint32_t transforms = 0;
    bool whole = cursor.begin() && cursor.read(transforms);
    for (std::uint32_t j = 0; j < transforms && whole; ++j) {
      std::int64_t stamp = 0, seq = 0;
      std::size_t parent_at = 0, parent_size = 0, child_at = 0, child_size = 0;
      double xyz_xyzw[7];
      whole = cursor.header(stamp, seq, parent_at, parent_size) &&
              cursor.string(child_at, child_size);
      for (double& value : xyz_xyzw) {
        whole = whole && cursor.read(value);
      }
      if (!whole) {
        break;
      }
      message.push_back(static_cast<std::int64_t>(k));
      parent.push_back(names.id(cursor.at(parent_at), parent_size));
      child.push_back(names.id(cursor.at(child_at), child_size));
      stamps.push_back(stamp);
      const double& qw = xyz_xyzw[6];
      for (const double value : {xyz_xyzw[0], xyz_xyzw[1], xyz_xyzw[2], qw, xyz_xyzw[3],
                                 xyz_xyzw[4], xyz_xyzw[5]}) {
        poses.push_back(value);
      }
    }
    if (!whole || !cursor.finished()) {
      message.resize(kept);
      parent.resize(kept);
      child.resize(kept);
      stamps.resize(kept);
      poses.resize(kept * 7);
      continue;
    }
    fits[k] = 1;
  }
  return nb::make_tuple(toNumpy(std::move(message)), toNumpy(std::move(parent)),
                        toNumpy(std::move(child)), toNumpy(std::move(stamps)),
                        toNumpy(std::move(poses), 7), toNumpy(std::move(fits)), names.list());
}

// --- writing -----------------------------------------------------------------------------------

// The messages of a block, checked against the buffer they lie in.
struct Messages {
  const std::uint8_t* data;
  const std::int64_t* ids;
  const std::int64_t* times;
  const std::int64_t* starts;
  const std::int64_t* sizes;
  std::size_t count;
  std::size_t bytes;  // of the messages themselves
};

Messages checkedMessages(const Int64In& ids, const Int64In& times, const Bytes& data,
                         const Int64In& starts, const Int64In& sizes) {
  const std::size_t count = ids.shape(0);
  if (times.shape(0) != count || starts.shape(0) != count || sizes.shape(0) != count) {
    throw std::invalid_argument("ids, times, starts and sizes differ in length");
  }
  const auto length = static_cast<std::int64_t>(data.shape(0));
  std::size_t bytes = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t start = starts.data()[k], size = sizes.data()[k];
    if (start < 0 || size < 0 || start > length || size > length - start) {
      throw std::invalid_argument("a message lies outside the buffer");
    }
    bytes += static_cast<std::size_t>(size);
  }
  return {data.data(), ids.data(), times.data(), starts.data(), sizes.data(), count, bytes};
}

template <class T>
void storeLittle(std::uint8_t*& at, T value) noexcept {
  std::memcpy(at, &value, sizeof(T));
  at += sizeof(T);
}

void storeText(std::uint8_t*& at, std::string_view text) noexcept {
  std::memcpy(at, text.data(), text.size());
  at += text.size();
}

// ROS 1 message data records: header {op=0x02, conn=uint32, time=uint32 sec, uint32 nsec}, then
// the data; kRos1RecordHead bytes before each message.
constexpr std::size_t kRos1RecordHead = 4 + (4 + 4) + (4 + 9) + (4 + 13) + 4;

nb::bytes ros1Records(const Int64In& conns, const Int64In& times, const Bytes& data,
                      const Int64In& starts, const Int64In& sizes) {
  const Messages messages = checkedMessages(conns, times, data, starts, sizes);
  for (std::size_t k = 0; k < messages.count; ++k) {
    const std::int64_t time = messages.times[k];
    if (time < 0 || time / 1'000'000'000 > 0xFFFF'FFFFLL || messages.ids[k] < 0 ||
        messages.ids[k] > 0xFFFF'FFFFLL || messages.sizes[k] > 0xFFFF'FFFFLL) {
      throw std::invalid_argument("a message's time, connection or size does not fit a ROS 1 bag");
    }
  }
  std::string out(messages.count * kRos1RecordHead + messages.bytes, '\0');
  auto* at = reinterpret_cast<std::uint8_t*>(out.data());
  for (std::size_t k = 0; k < messages.count; ++k) {
    const std::int64_t time = messages.times[k];
    storeLittle<std::uint32_t>(at, 38);  // the header's size
    storeLittle<std::uint32_t>(at, 4);
    storeText(at, std::string_view("op=\x02", 4));
    storeLittle<std::uint32_t>(at, 9);
    storeText(at, "conn=");
    storeLittle(at, static_cast<std::uint32_t>(messages.ids[k]));
    storeLittle<std::uint32_t>(at, 13);
    storeText(at, "time=");
    storeLittle(at, static_cast<std::uint32_t>(time / 1'000'000'000));
    storeLittle(at, static_cast<std::uint32_t>(time % 1'000'000'000));
    const auto size = static_cast<std::size_t>(messages.sizes[k]);
    storeLittle(at, static_cast<std::uint32_t>(size));
    std::memcpy(at, messages.data + messages.starts[k], size);
    at += size;
  }
  return nb::bytes(out.data(), out.size());
}

// MCAP message records {0x05, uint64 length, uint16 channel, uint32 sequence 0, uint64 log time,
// uint64 publish time (the log time), data}.
constexpr std::size_t kMcapRecordHead = 1 + 8 + kMcapMessageHead;

nb::bytes mcapRecords(const Int64In& channels, const Int64In& times, const Bytes& data,
                      const Int64In& starts, const Int64In& sizes) {
  const Messages messages = checkedMessages(channels, times, data, starts, sizes);
  for (std::size_t k = 0; k < messages.count; ++k) {
    if (messages.times[k] < 0 || messages.ids[k] < 0 || messages.ids[k] > 0xFFFF) {
      throw std::invalid_argument("a message's time or channel does not fit an MCAP file");
    }
  }
  std::string out(messages.count * kMcapRecordHead + messages.bytes, '\0');
  auto* at = reinterpret_cast<std::uint8_t*>(out.data());
  for (std::size_t k = 0; k < messages.count; ++k) {
    const auto size = static_cast<std::size_t>(messages.sizes[k]);
    const auto time = static_cast<std::uint64_t>(messages.times[k]);
    storeLittle(at, kMcapMessage);
    storeLittle(at, static_cast<std::uint64_t>(kMcapMessageHead + size));
    storeLittle(at, static_cast<std::uint16_t>(messages.ids[k]));
    storeLittle<std::uint32_t>(at, 0);
    storeLittle(at, time);
    storeLittle(at, time);
    std::memcpy(at, messages.data + messages.starts[k], size);
    at += size;
  }
  return nb::bytes(out.data(), out.size());
}

// Each message as a bytes object of its own.
nb::typed<nb::list, nb::bytes> slices(const Bytes& data_in, const Int64In& starts, const Int64In& sizes) {
  const Messages messages = checkedMessages(starts, starts, data_in, starts, sizes);
  nb::typed<nb::list, nb::bytes> out;
  for (std::size_t k = 0; k < messages.count; ++k) {
    out.append(nb::bytes(messages.data + messages.starts[k],
                         static_cast<std::size_t>(messages.sizes[k])));
  }
  return out;
}

}  // namespace

NB_MODULE(_bag_scan, m) {
  m.doc() =
      "Records of ROS 1 and MCAP chunks and the stamped and tf message layouts, scanned over "
      "whole buffers (private to kivo_tf_tools).";
  m.def("ros1_messages", &ros1Messages, "chunk"_a, "offsets"_a,
        "The message records at the index entries `offsets` of a decompressed ROS 1 chunk: "
        "(conn, time ns, data start, data size, entries read, error).");
  m.def("mcap_messages", &mcapMessages, "chunk"_a,
        "Every message record of a decompressed MCAP chunk in record order: (channel, log time "
        "ns, data start, data size, error).");
  m.def("decode_stamped", &decodeStamped, "data"_a, "starts"_a, "sizes"_a, "ros1"_a, "floats"_a,
        "Stamped signals: (stamps ns, seq, frame numbers, fits, values (N, floats), frame ids).");
  m.def("ros1_records", &ros1Records, "conns"_a, "times"_a, "data"_a, "starts"_a, "sizes"_a,
        "ROS 1 message data records of the messages data[starts[k]:starts[k] + sizes[k]] on "
        "connections `conns` at bag times `times` (ns), one after the other.");
  m.def("mcap_records", &mcapRecords, "channels"_a, "times"_a, "data"_a, "starts"_a, "sizes"_a,
        "MCAP message records (sequence 0, publish time = log time) of the messages "
        "data[starts[k]:starts[k] + sizes[k]], one after the other.");
  m.def("slices", &slices, "data"_a, "starts"_a, "sizes"_a,
        "The messages data[starts[k]:starts[k] + sizes[k]] as bytes objects.");
  m.def("decode_tf", &decodeTf, "data"_a, "starts"_a, "sizes"_a, "ros1"_a,
        "TFMessages: per transform (message, parent, child, stamp ns, pose [x, y, z, qw, qx, qy, "
        "qz]), per message whether it fits, and the frame ids.");
}
