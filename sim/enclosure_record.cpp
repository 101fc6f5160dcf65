#include "sim/enclosure_record.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace sim {

namespace {

// The expansions a drive position can name.
constexpr uint64_t kMaxExpansions = 7;

// A decimal number without sign or blanks that fits 64 bits.
bool ParseCount(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0) return false;
    *value = v;
    return true;
}

}  // namespace

std::string EnclosureRecordPath(const std::string& directory) { return directory + "/drives/enclosure"; }

uint64_t NewEnclosureMark() {
    std::random_device random;
    uint64_t mark = 0;
    while (mark == 0) mark = (uint64_t(random()) << 32) | random();
    return mark;
}

RecordRead ReadEnclosureRecord(const std::string& directory, ChassisOptions* options, std::string* why) {
    const std::string path = EnclosureRecordPath(directory);
    std::ifstream in(path);
    if (!in) {
        // No drives folder either: the chassis says what is wrong with it.
        if (errno == ENOENT || errno == ENOTDIR) return RecordRead::Missing;
        *why = path + ": " + std::strerror(errno);
        return RecordRead::Bad;
    }
    bool drives = false, size = false, type = false;
    unsigned number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string key, value, extra, more;
        words >> key >> value >> extra >> more;
        uint64_t n = 0;
        const bool counted = ParseCount(value, &n);
        bool good = extra.empty();
        if (key == "mark") {
            good = good && counted && n != 0;
            options->mark = n;
        } else if (key == "replaced") {
            // replaced SLOT NUMBER: the slot holds its NUMBERth new drive.
            uint64_t times = 0;
            good = more.empty() && counted && n >= 1 && n <= Chassis::kSlots && ParseCount(extra, &times) && times >= 1 &&
                   times <= kMaxReplacements && options->replaced.count(static_cast<unsigned>(n)) == 0;
            if (good) options->replaced[static_cast<unsigned>(n)] = static_cast<unsigned>(times);
        } else if (key == "drives") {
            good = good && counted && n <= Chassis::kSlots;
            options->drives = static_cast<unsigned>(n);
            drives = true;
        } else if (key == "expansions") {
            // Directories made before expansions were named have none.
            good = good && counted && n <= kMaxExpansions;
            options->expansions = static_cast<unsigned>(n);
        } else if (key == "expansion-drives") {
            good = good && counted && n <= Chassis::kSlots;
            options->expansionDrives = static_cast<unsigned>(n);
        } else if (key == "drive-size") {
            good = good && counted && n >= 512 && n % 512 == 0;
            options->driveBytes = n;
            size = true;
        } else if (key == "drive-type") {
            good = good && (value == "sas" || value == "sata");
            options->sata = value == "sata";
            type = true;
        } else {
            good = false;
        }
        if (!good) {
            *why = path + ": line " + std::to_string(number) + ": not understood: " + line;
            return RecordRead::Bad;
        }
    }
    if (!drives || !size || !type) {
        *why = path + ": says nothing of the drives' " + (!drives ? "count" : !size ? "size" : "type");
        return RecordRead::Bad;
    }
    return RecordRead::Read;
}

bool WriteEnclosureRecord(const std::string& directory, const ChassisOptions& options, std::string* why) {
    const std::string path = EnclosureRecordPath(directory);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "# The drives this data directory was made with; every run uses them.\n"
            << "drives " << options.drives << "\n"
            << "drive-size " << options.driveBytes << "\n"
            << "drive-type " << (options.sata ? "sata" : "sas") << "\n";
        if (options.expansions != 0)
            out << "expansions " << options.expansions << "\n"
                << "expansion-drives " << options.expansionDrives << "\n";
        if (options.mark != 0) out << "mark " << options.mark << "\n";
        for (const auto& [slot, times] : options.replaced) out << "replaced " << slot << " " << times << "\n";
        out.flush();
        if (!out) {
            *why = temporary + ": " + std::strerror(errno);
            unlink(temporary.c_str());
            return false;
        }
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *why = path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace sim
