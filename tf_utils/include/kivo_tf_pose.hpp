#pragma once

#include <array>
#include <memory>
#include <string>

#include "config.hpp"
#include "kivo_tf_utils_export.hpp"

namespace kivo {

// Transforms a pose [px, py, pz, qw, qx, qy, qz] of a rigid body, measured at the input reference
// point and expressed in the input expression axes, into the pose of the output reference point
// expressed in the output expression axes.
//
// The moving frame is the body itself: every cycle its pose is derived from the input, so entries
// in "moving_frame" are fixed to the body and need no separate transform. The input expression
// axes cannot use the moving frame. Call `update` once per control cycle; on its success path it
// allocates nothing.
class KIVO_TF_UTILS_EXPORT KivoTfPose {
 public:
  class KivoTfPoseImpl;

  // Loads the section "tf_pose_config" of the JSON file at `config_file`; an empty path leaves
  // every entry unset. Throws std::runtime_error when the file cannot be read.
  explicit KivoTfPose(const std::string& config_file);
  explicit KivoTfPose(const KivoTfConfig& config);
  ~KivoTfPose();

  KivoTfPose(const KivoTfPose&) = delete;
  KivoTfPose& operator=(const KivoTfPose&) = delete;

  const std::string& name() const;

  // Each setter replaces its entry and returns true, unless the entry was loaded from the JSON
  // file: then it reports that on the standard error stream and returns false.
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  // Writes the transformed pose and returns Ok; otherwise leaves `pose_out` untouched and returns
  // NotReady or Error. `pose_in` and `pose_out` may be the same array.
  KivoControlReturnCode update(const std::array<double, 7>& pose_in, std::array<double, 7>& pose_out);

 private:
  std::unique_ptr<KivoTfPoseImpl> impl_;
};

}  // namespace kivo
