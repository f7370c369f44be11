#include "platform/dv/DifPacks.h"


namespace th::dif {

namespace {

std::uint8_t bcd(int value)
{
    return static_cast<std::uint8_t>((value / 10) << 4 | (value % 10));
}

// A BCD field whose tens digit has `tensBits` bits at bit 4; -1 when a digit
// is not decimal.
int fromBcd(std::uint8_t byte, int tensBits)
{
    const int units = byte & 0x0F;
    const int tens = (byte >> 4) & ((1 << tensBits) - 1);
    if (units > 9 || tens > 9)
        return -1;
    return tens * 10 + units;
}

constexpr long long kFramesPerDayPal = 25LL * 60 * 60 * 24;
// Drop-frame counting: 17982 frames per ten minutes, 144 of those a day.
constexpr long long kFramesPer10MinDf = 17982;
constexpr long long kFramesPerMinDf = 1798;
constexpr long long kFramesPerDayDf = kFramesPer10MinDf * 6 * 24;

long long daysFromCivil(int y, int m, int d)
{
    // Days since 1970-01-01 of a Gregorian date.
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

RecDate civilFromDays(long long z)
{
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2));
    return {y, m, d};
}

long long floorDiv(long long a, long long b)
{
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

bool isDropped(const Timecode& tc)
{
    return tc.seconds == 0 && tc.frames < 2 && tc.minutes % 10 != 0;
}

} // namespace

// --- Time code ---------------------------------------------------------------------

std::uint32_t timecodeBcd(const Timecode& tc)
{
    return static_cast<std::uint32_t>(bcd(tc.hours)) << 24 | static_cast<std::uint32_t>(bcd(tc.minutes)) << 16
         | static_cast<std::uint32_t>(bcd(tc.seconds)) << 8 | bcd(tc.frames);
}

bool isValidTimecode(System system, const Timecode& tc)
{
    const int fps = timecodeFramesPerSecond(system);
    if (fps == 0)
        return false;
    if (tc.hours < 0 || tc.hours > 23 || tc.minutes < 0 || tc.minutes > 59 || tc.seconds < 0
        || tc.seconds > 59 || tc.frames < 0 || tc.frames >= fps)
        return false;
    if (system == System::Ntsc525_60 && tc.dropFrame && isDropped(tc))
        return false;
    return true;
}

Timecode timecodeFromFrameCount(System system, long long count)
{
    Timecode tc;
    if (system == System::Pal625_50) {
        long long n = count % kFramesPerDayPal;
        if (n < 0)
            n += kFramesPerDayPal;
        tc.frames = static_cast<int>(n % 25);
        n /= 25;
        tc.seconds = static_cast<int>(n % 60);
        n /= 60;
        tc.minutes = static_cast<int>(n % 60);
        tc.hours = static_cast<int>(n / 60);
        return tc;
    }
    if (system != System::Ntsc525_60)
        return tc;
    long long n = count % kFramesPerDayDf;
    if (n < 0)
        n += kFramesPerDayDf;
    // Put back the two frame numbers skipped at each minute but the tenth.
    const long long tens = n / kFramesPer10MinDf;
    const long long rest = n % kFramesPer10MinDf;
    n += 18 * tens;
    if (rest >= 2)
        n += 2 * ((rest - 2) / kFramesPerMinDf);
    tc.dropFrame = true;
    tc.frames = static_cast<int>(n % 30);
    n /= 30;
    tc.seconds = static_cast<int>(n % 60);
    n /= 60;
    tc.minutes = static_cast<int>(n % 60);
    tc.hours = static_cast<int>(n / 60);
    return tc;
}

long long frameCountFromTimecode(System system, const Timecode& tc)
{
    const long long minutes = tc.hours * 60LL + tc.minutes;
    if (system == System::Pal625_50)
        return (minutes * 60 + tc.seconds) * 25 + tc.frames;
    if (system == System::Ntsc525_60)
        return (minutes * 60 + tc.seconds) * 30 + tc.frames - 2 * (minutes - minutes / 10);
    return 0;
}

Pack timecodePack(const Timecode& tc)
{
    return {kPackTimecode,
            static_cast<std::uint8_t>((tc.dropFrame ? 0x40 : 0) | bcd(tc.frames)),
            bcd(tc.seconds), bcd(tc.minutes), bcd(tc.hours)};
}

std::optional<Timecode> parseTimecodePack(const std::uint8_t* p)
{
    if (p[0] != kPackTimecode)
        return std::nullopt;
    Timecode tc;
    tc.frames = fromBcd(p[1], 2);
    tc.seconds = fromBcd(p[2], 3);
    tc.minutes = fromBcd(p[3], 3);
    tc.hours = fromBcd(p[4], 2);
    tc.dropFrame = (p[1] & 0x40) != 0;
    if (tc.frames < 0 || tc.frames > 29 || tc.seconds < 0 || tc.seconds > 59 || tc.minutes < 0
        || tc.minutes > 59 || tc.hours < 0 || tc.hours > 23)
        return std::nullopt;
    return tc;
}

// --- Recording date and time -------------------------------------------------------

// DV exists since 1995: two digits name one year in 1995-2094 whatever the
// computer's clock says, so that every reader of a tape agrees.
constexpr int kFirstDVYear = 1995;

int latestRecordingYear()
{
    return kFirstDVYear + 99;
}

int earliestRecordingYear()
{
    return kFirstDVYear;
}

int fullYearFromTwoDigits(int yy)
{
    return yy >= kFirstDVYear % 100 ? 1900 + yy : 2000 + yy;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0))
        return 29;
    return kDays[month - 1];
}

bool isValidRecDateTime(const RecDateTime& dt)
{
    const int dim = daysInMonth(dt.date.year, dt.date.month);
    return dim > 0 && dt.date.day >= 1 && dt.date.day <= dim && dt.time.hour >= 0 && dt.time.hour <= 23
        && dt.time.minute >= 0 && dt.time.minute <= 59 && dt.time.second >= 0 && dt.time.second <= 59;
}

RecDateTime addSeconds(const RecDateTime& dt, long long seconds)
{
    const long long total = daysFromCivil(dt.date.year, dt.date.month, dt.date.day) * 86400LL
                          + dt.time.hour * 3600LL + dt.time.minute * 60LL + dt.time.second + seconds;
    const long long days = floorDiv(total, 86400);
    const long long secs = total - days * 86400;
    RecDateTime out;
    out.date = civilFromDays(days);
    out.time.hour = static_cast<int>(secs / 3600);
    out.time.minute = static_cast<int>(secs / 60 % 60);
    out.time.second = static_cast<int>(secs % 60);
    return out;
}

int dayOfWeek(const RecDate& date)
{
    // 1970-01-01 was a Thursday.
    const long long days = daysFromCivil(date.year, date.month, date.day);
    return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

Pack recDatePack(PackId id, const RecDate& date)
{
    return {id, 0xFF, static_cast<std::uint8_t>(0xC0 | bcd(date.day)),
            static_cast<std::uint8_t>(dayOfWeek(date) << 5 | bcd(date.month)),
            bcd(((date.year % 100) + 100) % 100)};
}

Pack recTimePack(PackId id, const RecTime& time)
{
    return {id, 0xFF, static_cast<std::uint8_t>(0x80 | bcd(time.second)),
            static_cast<std::uint8_t>(0x80 | bcd(time.minute)),
            static_cast<std::uint8_t>(0xC0 | bcd(time.hour))};
}

std::optional<RecDate> parseRecDatePack(const std::uint8_t* p)
{
    if (p[0] != kPackVauxRecDate && p[0] != kPackAauxRecDate)
        return std::nullopt;
    const int day = fromBcd(p[2], 2);
    const int month = fromBcd(p[3], 1);
    const int yy = fromBcd(p[4], 4);
    if (day < 0 || month < 0 || yy < 0)
        return std::nullopt;
    RecDate date{fullYearFromTwoDigits(yy), month, day};
    if (day < 1 || day > daysInMonth(date.year, month))
        return std::nullopt;
    return date;
}

std::optional<RecTime> parseRecTimePack(const std::uint8_t* p)
{
    if (p[0] != kPackVauxRecTime && p[0] != kPackAauxRecTime)
        return std::nullopt;
    RecTime time{fromBcd(p[4], 2), fromBcd(p[3], 3), fromBcd(p[2], 3)};
    if (time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0
        || time.second > 59)
        return std::nullopt;
    return time;
}

// --- VAUX source and source control --------------------------------------------------

Pack vauxSourcePack(const VauxSource& source)
{
    return {kPackVauxSource, 0xFF,
            static_cast<std::uint8_t>((source.colour ? 0x80 : 0) | 0x7F),
            static_cast<std::uint8_t>((source.sourceCode & 3) << 6
                                      | (source.system == System::Pal625_50 ? 0x20 : 0)
                                      | (source.signalType & 0x1F)),
            0xFF};
}

std::optional<VauxSource> parseVauxSourcePack(const std::uint8_t* p)
{
    if (p[0] != kPackVauxSource)
        return std::nullopt;
    VauxSource source;
    source.colour = (p[2] & 0x80) != 0;
    source.sourceCode = p[3] >> 6;
    source.system = (p[3] & 0x20) ? System::Pal625_50 : System::Ntsc525_60;
    source.signalType = p[3] & 0x1F;
    return source;
}

Pack vauxSourceControlPack(const VauxSourceControl& control)
{
    return {kPackVauxSourceControl,
            static_cast<std::uint8_t>((control.cgms & 3) << 6 | 0x3F),
            static_cast<std::uint8_t>((control.recordingStart ? 0 : 0x80) | 0x40
                                      | (control.recordingMode & 3) << 4 | 0x08 | (control.display & 7)),
            static_cast<std::uint8_t>(0xE0 | (control.interlaced ? 0x10 : 0) | 0x0C), 0xFF};
}

std::optional<VauxSourceControl> parseVauxSourceControlPack(const std::uint8_t* p)
{
    if (p[0] != kPackVauxSourceControl)
        return std::nullopt;
    VauxSourceControl control;
    control.cgms = p[1] >> 6;
    control.recordingStart = (p[2] & 0x80) == 0;
    control.recordingMode = (p[2] >> 4) & 3;
    control.display = p[2] & 7;
    control.interlaced = (p[3] & 0x10) != 0;
    return control;
}

// --- AAUX source and source control ------------------------------------------------

int minSamplesPerFrame(System system, int frequencyHz)
{
    const bool pal = system == System::Pal625_50;
    if (system == System::None)
        return 0;
    switch (frequencyHz) {
    case 48000: return pal ? 1896 : 1580;
    case 44100: return pal ? 1742 : 1452;
    case 32000: return pal ? 1264 : 1053;
    default: return 0;
    }
}

int maxSamplesPerFrame(System system, int frequencyHz)
{
    const bool pal = system == System::Pal625_50;
    if (system == System::None)
        return 0;
    switch (frequencyHz) {
    case 48000: return pal ? 1944 : 1620;
    case 44100: return pal ? 1786 : 1489;
    case 32000: return pal ? 1296 : 1080;
    default: return 0;
    }
}

std::optional<Pack> aauxSourcePack(const AauxSource& source)
{
    const int least = minSamplesPerFrame(source.system, source.frequencyHz);
    const int most = maxSamplesPerFrame(source.system, source.frequencyHz);
    if (least == 0 || source.samples < least || source.samples > most)
        return std::nullopt;
    if (source.channelsPerBlock < 1 || source.channelsPerBlock > 2)
        return std::nullopt;
    const int smp = source.frequencyHz == 48000 ? 0 : source.frequencyHz == 44100 ? 1 : 2;
    return Pack{kPackAauxSource,
                static_cast<std::uint8_t>((source.locked ? 0 : 0x80) | 0x40 | (source.samples - least)),
                static_cast<std::uint8_t>((source.channelsPerBlock - 1) << 5
                                          | (source.independentChannels ? 0x10 : 0)
                                          | (source.audioMode & 0x0F)),
                static_cast<std::uint8_t>(0xC0 | (source.system == System::Pal625_50 ? 0x20 : 0)
                                          | (source.signalType & 0x1F)),
                static_cast<std::uint8_t>(0x80 | smp << 3 | static_cast<int>(source.quantization))};
}

std::optional<AauxSource> parseAauxSourcePack(const std::uint8_t* p)
{
    if (p[0] != kPackAauxSource)
        return std::nullopt;
    AauxSource source;
    source.system = (p[3] & 0x20) ? System::Pal625_50 : System::Ntsc525_60;
    switch ((p[4] >> 3) & 7) {
    case 0: source.frequencyHz = 48000; break;
    case 1: source.frequencyHz = 44100; break;
    case 2: source.frequencyHz = 32000; break;
    default: return std::nullopt;
    }
    switch (p[4] & 7) {
    case 0: source.quantization = Quantization::Linear16; break;
    case 1: source.quantization = Quantization::Nonlinear12; break;
    default: return std::nullopt;
    }
    source.locked = (p[1] & 0x80) == 0;
    source.samples = minSamplesPerFrame(source.system, source.frequencyHz) + (p[1] & 0x3F);
    if (source.samples > maxSamplesPerFrame(source.system, source.frequencyHz))
        return std::nullopt;
    const int chn = (p[2] >> 5) & 3;
    if (chn > 1)
        return std::nullopt;
    source.channelsPerBlock = chn + 1;
    source.independentChannels = (p[2] & 0x10) != 0;
    source.audioMode = p[2] & 0x0F;
    source.signalType = p[3] & 0x1F;
    return source;
}

int normalPlaySpeed(System system)
{
    return system == System::Ntsc525_60 ? 0x78 : 0x20;
}

Pack aauxSourceControlPack(const AauxSourceControl& control)
{
    return {kPackAauxSourceControl,
            static_cast<std::uint8_t>((control.cgms & 3) << 6 | 0x3F),
            static_cast<std::uint8_t>((control.recordingStart ? 0 : 0x80) | (control.recordingEnd ? 0 : 0x40)
                                      | (control.recordingMode & 7) << 3 | 0x07),
            static_cast<std::uint8_t>((control.forward ? 0x80 : 0) | (control.speed & 0x7F)), 0xFF};
}

std::optional<AauxSourceControl> parseAauxSourceControlPack(const std::uint8_t* p)
{
    if (p[0] != kPackAauxSourceControl)
        return std::nullopt;
    AauxSourceControl control;
    control.cgms = p[1] >> 6;
    control.recordingStart = (p[2] & 0x80) == 0;
    control.recordingEnd = (p[2] & 0x40) == 0;
    control.recordingMode = (p[2] >> 3) & 7;
    control.forward = (p[3] & 0x80) != 0;
    control.speed = p[3] & 0x7F;
    return control;
}

} // namespace th::dif
