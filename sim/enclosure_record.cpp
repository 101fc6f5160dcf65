#include "sim/enclosure_record.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
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

// A line as the message shows it: in quotes, what is not printable (the
// record may be any file's bytes) escaped, and cut short when long.
std::string Quoted(const std::string& line) {
    constexpr size_t kShown = 80;
    std::string out = "\"";
    for (size_t i = 0; i < line.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    out += '"';
    if (line.size() > kShown) out += " (" + std::to_string(line.size()) + " bytes)";
    return out;
}

// What is wrong with a line, or empty when it is sound.
std::string LineFault(const std::string& key, bool counted, uint64_t n, bool extra, const std::string& value) {
    static const char* const kKeys[] = {"mark", "drives", "expansions", "expansion-drives", "drive-size", "drive-type"};
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) return "no such setting";
    if (value.empty()) return key + " without a value";
    if (extra) return "more than one value for " + key;
    if (key == "mark") return counted && n != 0 ? "" : "mark takes a number other than 0";
    if (key == "drives") {
        return counted && n <= Chassis::kSlots ? "" : "drives takes 0 to " + std::to_string(Chassis::kSlots);
    }
    if (key == "expansions") {
        return counted && n <= kMaxExpansions ? "" : "expansions takes 0 to " + std::to_string(kMaxExpansions);
    }
    if (key == "expansion-drives") {
        return counted && n <= Chassis::kSlots ? "" : "expansion-drives takes 0 to " + std::to_string(Chassis::kSlots);
    }
    if (key == "drive-size") {
        return counted && n >= 512 && n % 512 == 0 ? "" : "drive-size takes a byte count in whole 512-byte blocks";
    }
    return value == "sas" || value == "sata" ? "" : "drive-type is sas or sata";
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
        std::string fault;
        if (key == "replaced") {
            // replaced SLOT NUMBER: the slot holds its NUMBERth new drive.
            uint64_t times = 0;
            if (!more.empty() || !counted || n < 1 || n > Chassis::kSlots || !ParseCount(extra, &times) || times < 1 ||
                times > kMaxReplacements) {
                fault = "replaced takes a slot (1 to " + std::to_string(Chassis::kSlots) + ") and a count (1 to " +
                        std::to_string(kMaxReplacements) + ")";
            } else if (options->replaced.count(static_cast<unsigned>(n)) != 0) {
                fault = "slot " + std::to_string(n) + " is named replaced twice";
            } else {
                options->replaced[static_cast<unsigned>(n)] = static_cast<unsigned>(times);
            }
        } else {
            fault = LineFault(key, counted, n, !extra.empty(), value);
        }
        if (!fault.empty()) {
            *why = path + ": line " + std::to_string(number) + ": " + fault + ": " + Quoted(line);
            return RecordRead::Bad;
        }
        if (key == "mark") {
            options->mark = n;
        } else if (key == "drives") {
            options->drives = static_cast<unsigned>(n);
            drives = true;
        } else if (key == "expansions") {
            // Directories made before expansions were named have none.
            options->expansions = static_cast<unsigned>(n);
        } else if (key == "expansion-drives") {
            options->expansionDrives = static_cast<unsigned>(n);
        } else if (key == "drive-size") {
            options->driveBytes = n;
            size = true;
        } else if (key == "drive-type") {
            options->sata = value == "sata";
            type = true;
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
