// What a data directory's drives were made as, kept beside their images
// (drives/enclosure): a later run uses the same drives, and an option that
// says otherwise is refused instead of growing images or adding slots in
// silence.  One "key value" line each; lines may be added for what later
// runs must remember of each slot.
#pragma once

#include <string>

#include "sim/chassis.h"

namespace sim {

enum class RecordRead { Missing, Read, Bad };

std::string EnclosureRecordPath(const std::string& directory);
// Fills the drive count, size and type of `options`, the directory's mark
// and the slots whose drive was replaced, from the record; Bad
// with the path, line and reason when the record cannot be read.
RecordRead ReadEnclosureRecord(const std::string& directory, ChassisOptions* options, std::string* why);
// Written whole or not at all.
bool WriteEnclosureRecord(const std::string& directory, const ChassisOptions& options, std::string* why);
// A mark of its own for a directory's drives (never 0).
uint64_t NewEnclosureMark();

}  // namespace sim
