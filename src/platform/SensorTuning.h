#pragma once
// Host stand-in for the sensor driver's tuning functions.
//
// A camera's tuning lives in its firmware tuning folder,
// <device root>/vendor/firmware/<tuning name>/, in scenario folders of binary
// tuning files (the format is in platform/TuningBin.h). The tuning name of a
// camera id is a host setting: ZEB_SENSOR_TUNING_NAME ("name" for every
// camera, or "0:name0,1:name1") read on first use, or SetSensorTuningName.
// Until it is set the name stays empty and the camera is not ready.
//
// A reload really reads the folder: every ".bin" file below it (regular files
// only: links, pipes and devices are not loaded), each header checked, and
// records what it loaded. It is applied on a thread of its own (owned by the
// sensor side and joined, never detached); the camera's update status word is
// non-zero from the request until the reload is applied.
//
// Cameras that share a tuning name share its folder: whoever rewrites it, and
// every reload and trigger load that reads it, takes the name's turn first
// (TakeTuningTurn), so a camera never loads a folder another camera is
// installing. A turn is held per camera id: the camera that holds it may take
// it again (its own reload while it installs).
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Records in the status table, one per camera id from 0.
constexpr int kSensorStatusRecords = 16;
// Bytes of one record of the status table.
constexpr int kSensorStatusRecordSize = 136;

extern "C" {
// Copies the camera's tuning name (at most 255 characters and a terminating
// zero) into `name`, a zeroed buffer of 256 bytes; leaves it untouched while
// no name is known. Returns 0, or -1 for a null buffer or an unknown camera.
int sensor_get_tuning_parameter_name(char* name, int cameraId);

// Base of the status table: kSensorStatusRecords records of 136 bytes, the
// record of camera id c at c * 136. Byte 132 of a record is non-zero once the
// camera's tuning parameters are ready (its tuning name is known); the other
// bytes are zero. Never null on the host. The table lives as long
// as the process; the ready byte changes under a reader, so read it with an
// atomic load (__atomic_load_n(byte, __ATOMIC_ACQUIRE)).
const uint8_t* sensor_get_tuning_parameter_status(void);

// Asks the sensor side to reload the camera's tuning from its firmware folder.
// Returns at once; the update status is busy from here until the reload has
// been applied on the sensor side's thread. A request while an earlier reload
// of the camera is still applied waits for it first. Returns 0, or -1 for a
// camera id outside the table.
int sensor_update_tuning_parameter(int cameraId);

// The camera's update status word: non-zero while a reload is being applied.
// Null for a camera id outside the table. The word lives as long as the
// process and changes under the reader: read it with an atomic load
// (__atomic_load_n(status, __ATOMIC_ACQUIRE)).
const int32_t* sensor_get_update_status(int cameraId);
}

namespace zeb_platform {

// Sets (or, with an empty name, forgets) the tuning name of a camera id; it
// is what sensor_get_tuning_parameter_name hands out from then on. Set it
// before the simulation of that camera is created: the library polls the
// status table without a lock, as on a device.
void SetSensorTuningName(int cameraId, const std::string& name);
std::string SensorTuningName(int cameraId);

// One binary tuning file as the sensor side loaded it.
struct SensorTuningFile {
    std::string path;    // relative to the tuning folder, with "/": "prv/AE_16433.bin"
    std::string folder;  // its scenario folder ("prv", "com", ...); "" directly in the tuning folder
    std::string name;    // file name: "AE_16433.bin"
    bool trigger = false;  // a trigger file: the name contains "TRG"
    uint64_t blockId = 0;
    int32_t bypass = 0;     // the header's bypass word
    uint32_t checksum = 0;  // the header's checksum of the values (checked)
    std::vector<float> values;
};

// What the sensor side holds for one camera.
struct SensorTuningState {
    std::string tuningName;  // the name the last reload used
    uint64_t reloads = 0;    // reloads applied since the start (or ResetSensorTuning)
    bool busy = false;       // a reload is being applied
    std::vector<SensorTuningFile> files;  // loaded by the last reload, ordered by path
    std::vector<std::string> rejected;    // by the last reload: "<path>: <reason>"
    uint64_t triggerLoads = 0;            // pvk::TRGManage::loadFiles calls that read the folder
    std::vector<SensorTuningFile> triggerFiles;  // read by the last of them, ordered by path
};
SensorTuningState GetSensorTuningState(int cameraId);

// Waits until no reload of the camera is being applied; false when `timeout`
// (real time, not scaled) passed first.
bool WaitSensorIdle(int cameraId, std::chrono::nanoseconds timeout);

// Takes the turn of tuning `name` for camera `holder`: waits (real time, at
// most `timeout`) while another camera holds it. False when the time passed
// first. Each taking is given back once with GiveTuningTurn.
bool TakeTuningTurn(const std::string& name, int holder, std::chrono::nanoseconds timeout);
void GiveTuningTurn(const std::string& name, int holder);
// The camera holding the turn of `name`, -1 when nobody does.
int TuningTurnHolder(const std::string& name);

// Joins any reload thread, then forgets every name, record and count; the
// environment setting is read again on next use.
void ResetSensorTuning();

}  // namespace zeb_platform
