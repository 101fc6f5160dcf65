#include "sim/rtc.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "sim/board.h"

namespace sim {

namespace {

constexpr uint64_t kUnixTo1900 = 2208988800ull;
constexpr unsigned kSeconds = 2, kYears = 8;
constexpr uint8_t kLowVoltage = 0x80;   // seconds bit 7: time integrity lost
constexpr uint8_t kCentury = 0x80;      // month bit 7: 1900-1999
const char* const kTimeKey = "rtc.time";
const char* const kOffsetKey = "rtc.offset";
const char* const kLeadKey = "rtc.lead";
const char* const kValidKey = "rtc.valid";
// No start-up of this board skips more than a day of waits.
constexpr int64_t kMostLeadSeconds = 86400;

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int MonthDays(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && Leap(y) ? 29 : days[m - 1];
}
// Days from 1900-01-01 to the given civil date, and back: whole 400-year
// eras first, so no date costs more than a few divisions.
constexpr int64_t kDaysPerEra = 146097;
constexpr int64_t kEpochDays = 693901;   // 1900-01-01 counted from 0000-03-01
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * kDaysPerEra + doe - kEpochDays;
}
void CivilFromDays(int64_t days, RtcTime* t) {
    const int64_t z = days + kEpochDays;
    const int64_t era = (z >= 0 ? z : z - kDaysPerEra + 1) / kDaysPerEra;
    const int64_t doe = z - era * kDaysPerEra;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    t->day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t->month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t->year = static_cast<int>(yoe + era * 400 + (t->month <= 2));
}
// The chip counts 1900 to 2099 (the century bit and two BCD digits).
const uint64_t kFirstSecond = 0;
const uint64_t kEndSecond = static_cast<uint64_t>(DaysFromCivil(2100, 1, 1)) * 86400;
uint8_t Bcd(int v) { return static_cast<uint8_t>((v / 10) << 4 | v % 10); }
int FromBcd(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

// A stored number: absent leaves the value as it is; present, it must be
// a whole number.
bool ReadNumber(const std::string& text, int64_t* value) {
    if (text.empty()) return true;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (!end || *end != '\0' || errno != 0) return false;
    *value = n;
    return true;
}

int64_t HostSeconds(const Board& board) {
    if (board.config().hostDate != 0) return static_cast<int64_t>(board.config().hostDate);
    return static_cast<int64_t>(static_cast<uint64_t>(std::time(nullptr)) + kUnixTo1900);
}

int64_t BoardSeconds(Board& board) { return static_cast<int64_t>(board.clock().Now() / 1'000'000'000ull); }

}  // namespace

Rtc::Rtc(Board& board) : m_board(board) {
    const bool virtualTime = board.config().virtualTime;
    const int64_t factory = static_cast<int64_t>(ToSeconds(kFactoryTime));
    const std::string timeText = board.StateValue(kTimeKey), offsetText = board.StateValue(kOffsetKey);
    int64_t offset = 0, last = 0, lead = 0;
    bool readable = ReadNumber(offsetText, &offset) && ReadNumber(timeText, &last);
    bool stopped = !timeText.empty();   // a run before this one left its time
    // The lead is only a hint: one that is unreadable or past reason counts
    // for nothing.
    if (!ReadNumber(board.StateValue(kLeadKey), &lead) || lead < 0 || lead > kMostLeadSeconds) lead = 0;
    int64_t start = factory;
    if (virtualTime) {
        // Older runs in virtual time kept the clock's time in rtc.offset.
        if (!stopped && !offsetText.empty()) {
            last = offset;
            stopped = true;
        }
        if (stopped) start = last;
    } else {
        // Not held at rtc.time: a quick restart would then add its skipped
        // waits to the last run's, and the clock would lead the host's more
        // with every one.  The firmware keeps its event log in order itself.
        int64_t shift = 0;
        readable = readable && !__builtin_sub_overflow(offset, lead, &shift) &&
                   !__builtin_add_overflow(HostSeconds(board), shift, &start);
        m_leadTakenOff = lead;
    }
    m_valid = board.StateValue(kValidKey) != "0";
    // A time the chip cannot count is what a flat battery leaves: no valid
    // time until the firmware sets one.
    if (!readable || __builtin_sub_overflow(start, BoardSeconds(board), &m_base) || !InRange()) {
        m_base = (virtualTime ? factory : HostSeconds(board)) - BoardSeconds(board);
        m_valid = false;
    }
}

bool Rtc::InRange() const {
    int64_t now = 0;
    if (__builtin_add_overflow(m_base, BoardSeconds(m_board), &now)) return false;
    return now >= static_cast<int64_t>(kFirstSecond) && static_cast<uint64_t>(now) < kEndSecond;
}

void Rtc::StartUpSkipped(uint64_t ns) {
    const int64_t skipped = static_cast<int64_t>((ns + 500'000'000ull) / 1'000'000'000ull);
    // The clock is the host's again from here: it counted the waits, of
    // which the start took off what the last start-up skipped.
    m_base -= skipped - m_leadTakenOff;
    m_leadTakenOff = 0;
    if (m_leadTaken) return;   // a later start beside a running partner waits out its time
    m_leadTaken = true;
    m_board.SetStateValue(kLeadKey, std::to_string(skipped));
}

void Rtc::PowerOff() { Persist(); }

uint64_t Rtc::ToSeconds(const RtcTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day);
    return static_cast<uint64_t>(days) * 86400 + static_cast<uint64_t>(t.hour * 3600 + t.minute * 60 + t.second);
}

RtcTime Rtc::FromSeconds(uint64_t s) {
    RtcTime t{1900, 1, 1, 0, 0, 0};
    const uint64_t rest = s % 86400;
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    CivilFromDays(static_cast<int64_t>(s / 86400), &t);
    return t;
}

int64_t Rtc::NowSeconds() const { return m_base + BoardSeconds(m_board); }

RtcTime Rtc::Now() const { return FromSeconds(static_cast<uint64_t>(NowSeconds())); }

void Rtc::Set(const RtcTime& t) {
    m_base = static_cast<int64_t>(ToSeconds(t)) - BoardSeconds(m_board);
    m_valid = true;
    // On the wall clock the date set goes on at the next run as a distance
    // from the host's.
    if (!m_board.config().virtualTime) {
        m_board.SetStateValue(kOffsetKey, std::to_string(static_cast<int64_t>(ToSeconds(t)) - HostSeconds(m_board)));
    }
    Persist();
}

void Rtc::Invalidate() {
    m_valid = false;
    Persist();
}

void Rtc::Persist() {
    if (m_valid && InRange()) m_board.SetStateValue(kTimeKey, std::to_string(NowSeconds()));
    m_board.SetStateValue(kValidKey, m_valid ? "1" : "0");
}

void Rtc::LatchTime() {
    m_latched = m_regs;
    if (!m_valid || !InRange()) {
        for (unsigned i = kSeconds; i <= kYears; ++i) m_latched[i] = 0;
        m_latched[kSeconds] = kLowVoltage;
        return;
    }
    RtcTime t = Now();
    const uint64_t days = static_cast<uint64_t>(NowSeconds()) / 86400;   // 1900-01-01 was a Monday
    m_latched[2] = Bcd(t.second);
    m_latched[3] = Bcd(t.minute);
    m_latched[4] = Bcd(t.hour);
    m_latched[5] = Bcd(t.day);
    m_latched[6] = static_cast<uint8_t>((days + 1) % 7);
    m_latched[7] = static_cast<uint8_t>(Bcd(t.month) | (t.year < 2000 ? kCentury : 0));
    m_latched[8] = Bcd(t.year % 100);
}

uint8_t Rtc::Register(unsigned index) {
    LatchTime();
    return m_latched[index & 0x0F];
}

bool Rtc::Start(bool read) {
    if (!m_responsive) return false;
    m_addressPhase = !read;
    if (read) LatchTime();
    return true;
}

bool Rtc::WriteByte(uint8_t value) {
    if (m_addressPhase) {
        m_pointer = value & 0x0F;
        m_addressPhase = false;
        // Writes start from the time as it stands: registers not written keep it.
        LatchTime();
        return true;
    }
    if (m_pointer >= kSeconds && m_pointer <= kYears) m_timeWritten = true;
    m_latched[m_pointer] = value;
    m_regs[m_pointer] = value;
    m_pointer = (m_pointer + 1) & 0x0F;
    return true;
}

uint8_t Rtc::ReadByte() {
    uint8_t v = m_latched[m_pointer];
    m_pointer = (m_pointer + 1) & 0x0F;
    return v;
}

void Rtc::Stop() {
    if (!m_timeWritten) return;
    m_timeWritten = false;
    // The chip takes what it is given; a date it cannot count from leaves it
    // without a valid time.
    RtcTime t{(m_latched[7] & kCentury ? 1900 : 2000) + FromBcd(m_latched[8]), FromBcd(m_latched[7] & 0x1F),
              FromBcd(m_latched[5] & 0x3F), FromBcd(m_latched[4] & 0x3F), FromBcd(m_latched[3] & 0x7F),
              FromBcd(m_latched[2] & 0x7F)};
    bool ok = t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= MonthDays(t.year, t.month) &&
              t.hour < 24 && t.minute < 60 && t.second < 60;
    if (ok) {
        Set(t);
    } else {
        Invalidate();
    }
}

}  // namespace sim
