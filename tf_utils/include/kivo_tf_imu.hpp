#pragma once

#include <array>
#include <memory>
#include <string>

#include "config.hpp"
#include "kivo_tf_utils_export.hpp"

namespace kivo {

// Transforms an IMU sample [ax, ay, az, wx, wy, wz] (m/s² and rad/s): the linear
// acceleration of the reference point, and the angular rate of the body, both expressed in the input expression axes, into the same physical
// quantity about the output reference point, expressed in the output expression axes.
//
// Entries whose origin is "moving_frame" are placed in the fixed frame on every cycle with the
// transform last given to setFixedToMovingFrameTf. Call `update` once per control cycle; on its
// success path it allocates nothing.
class KIVO_TF_UTILS_EXPORT KivoTfImu {
 public:
  class KivoTfImuImpl;

  // Loads the section "tf_imu_config" of the JSON file at `config_file`; an empty path leaves
  // every entry unset. Throws std::runtime_error when the file cannot be read.
  explicit KivoTfImu(const std::string& config_file);
  explicit KivoTfImu(const KivoTfConfig& config);
  ~KivoTfImu();

  KivoTfImu(const KivoTfImu&) = delete;
  KivoTfImu& operator=(const KivoTfImu&) = delete;

  const std::string& name() const;

  // Each setter replaces its entry and returns true, unless the entry was loaded from the JSON
  // file: then it reports that on the standard error stream and returns false.
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  // Pose of the moving frame in the fixed frame: [x, y, z, qw, qx, qy, qz]. Stays in force until
  // the next call; keep it current every cycle while an entry uses the moving frame.
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf);

  // Writes the transformed signal and returns Ok; otherwise leaves `imu_out` untouched and
  // returns NotReady or Error. `imu_in` and `imu_out` may be the same array.
  KivoControlReturnCode update(const std::array<double, 6>& imu_in, std::array<double, 6>& imu_out);

 private:
  std::unique_ptr<KivoTfImuImpl> impl_;
};

}  // namespace kivo
