#include "platform/rtl/SysUtils.h"

#include "platform/base/WinErrno.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// --- Exceptions -------------------------------------------------------------------

Exception::Exception(const QString& message) : message_(message), utf8_(message.toStdString()) {}

Exception::~Exception() = default;

void Exception::SetMessage(const QString& message)
{
    message_ = message;
    utf8_ = message.toStdString();
}

const char* Exception::what() const noexcept
{
    return utf8_.c_str();
}

EExternalException::EExternalException(HRESULT code)
    : Exception(QStringLiteral("External exception ") + QString::number(static_cast<quint32>(code), 16).toUpper()),
      code_(code)
{
}

// --- Numbers ------------------------------------------------------------------------

bool TryStrToInt(const QString& s, int& value)
{
    const qsizetype n = s.size();
    qsizetype i = 0;
    while (i < n && s[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (s[i] == u'-' || s[i] == u'+')) {
        negative = s[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && s[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i == n)
        return false;
    qint64 acc = 0;
    for (; i < n; ++i) {
        const char16_t c = s[i].unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return false;
        acc = acc * base + digit;
        if (acc > 0xFFFFFFFFLL)
            return false;
    }
    if (base == 10) {
        if (acc > (negative ? 2147483648LL : 2147483647LL))
            return false;
        value = static_cast<int>(negative ? -acc : acc);
    } else {
        // Hexadecimal spans the full 32 bits: $FFFFFFFF is -1.
        const auto bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(acc));
        value = negative ? static_cast<int>(-static_cast<qint64>(bits)) : bits;
    }
    return true;
}

int StrToInt(const QString& s)
{
    int v = 0;
    if (!TryStrToInt(s, v))
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
    return v;
}

int StrToIntDef(const QString& s, int def)
{
    int v = 0;
    return TryStrToInt(s, v) ? v : def;
}

namespace {

bool isPlaceholder(QChar c)
{
    return c == u'#' || c == u'0' || c == u',' || c == u'.';
}

} // namespace

QString FormatFloat(const QString& format, double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");

    // Split off literal text before and after the picture.
    qsizetype first = 0;
    while (first < format.size() && !isPlaceholder(format[first]))
        ++first;
    qsizetype last = format.size();
    while (last > first && !isPlaceholder(format[last - 1]))
        --last;
    const QString prefix = format.left(first);
    const QString suffix = format.mid(last);
    const QString picture = format.mid(first, last - first);

    const qsizetype point = picture.indexOf(u'.');
    const QString intPart = point < 0 ? picture : picture.left(point);
    const QString fracPart = point < 0 ? QString() : picture.mid(point + 1);
    const bool grouping = intPart.contains(u',');
    const int minInt = static_cast<int>(intPart.count(u'0'));
    const int minFrac = static_cast<int>(fracPart.count(u'0'));
    const int decimals = minFrac + static_cast<int>(fracPart.count(u'#'));

    // Fifteen significant digits, then rounding half away from zero in decimal,
    // so that 1.125 gives 1.13 as a person expects.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(value));
    std::string digits;
    digits += buf[0];
    digits.append(buf + 2, 14);
    int intDigits = std::atoi(std::strchr(buf, 'e') + 1) + 1;
    if (value == 0)
        intDigits = 1, digits.assign(15, '0');
    const int keep = intDigits + decimals;
    if (keep < 0) {
        digits.clear();
    } else if (keep < static_cast<int>(digits.size())) {
        const bool up = digits[static_cast<std::size_t>(keep)] >= '5';
        digits.resize(static_cast<std::size_t>(keep));
        if (up) {
            int i = keep - 1;
            while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9')
                digits[static_cast<std::size_t>(i--)] = '0';
            if (i >= 0) {
                ++digits[static_cast<std::size_t>(i)];
            } else {
                digits.insert(digits.begin(), '1');
                ++intDigits;
            }
        }
    } else {
        digits.append(static_cast<std::size_t>(keep) - digits.size(), '0');
    }
    // Digits now hold intDigits integer digits (none when negative) and then the decimals.
    std::string whole, frac;
    if (intDigits > 0) {
        whole = digits.substr(0, static_cast<std::size_t>(intDigits));
        frac = digits.substr(static_cast<std::size_t>(intDigits));
    } else {
        frac = std::string(static_cast<std::size_t>(-intDigits), '0') + digits;
    }
    frac.resize(static_cast<std::size_t>(decimals), '0');
    while (frac.size() > static_cast<std::size_t>(minFrac) && frac.back() == '0')
        frac.pop_back();
    std::size_t lead = 0;
    while (lead < whole.size() && whole[lead] == '0')
        ++lead;
    whole.erase(0, lead);
    if (whole.size() < static_cast<std::size_t>(minInt))
        whole.insert(0, static_cast<std::size_t>(minInt) - whole.size(), '0');

    const QLocale locale;
    QString out;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (grouping && i > 0 && (whole.size() - i) % 3 == 0)
            out += locale.groupSeparator();
        out += QLatin1Char(whole[i]);
    }
    if (!frac.empty()) {
        out += locale.decimalPoint();
        out += QString::fromLatin1(frac.data(), static_cast<qsizetype>(frac.size()));
    }
    const bool nonZero = whole.find_first_not_of('0') != std::string::npos ||
                         frac.find_first_not_of('0') != std::string::npos;
    if (value < 0 && nonZero)
        out.prepend(locale.negativeSign());
    return prefix + out + suffix;
}

// --- Paths ------------------------------------------------------------------------------

QString Trim(const QString& s)
{
    qsizetype first = 0;
    qsizetype last = s.size();
    while (first < last && s[first].unicode() <= 0x20)
        ++first;
    while (last > first && s[last - 1].unicode() <= 0x20)
        --last;
    return s.mid(first, last - first);
}

bool SameText(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x >= u'A' && x <= u'Z')
            x = char16_t(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z')
            y = char16_t(y - u'A' + u'a');
        if (x != y)
            return false;
    }
    return true;
}

QString IncludeTrailingPathDelimiter(const QString& path)
{
    return path.endsWith(u'/') ? path : path + u'/';
}

QString ExcludeTrailingPathDelimiter(const QString& path)
{
    return path.endsWith(u'/') ? path.left(path.size() - 1) : path;
}

QString ExtractFileExt(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot < 0 || fileName.indexOf(u'/', dot) >= 0)
        return QString();
    return fileName.mid(dot);
}

QString ChangeFileExt(const QString& fileName, const QString& ext)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot < 0 || fileName.indexOf(u'/', dot) >= 0)
        return fileName + ext;
    return fileName.left(dot) + ext;
}

QString ExtractFilePath(const QString& fileName)
{
    return fileName.left(fileName.lastIndexOf(u'/') + 1);
}

QString ExtractFileDir(const QString& fileName)
{
    qsizetype i = fileName.lastIndexOf(u'/');
    if (i < 0)
        return QString();
    // Keep the delimiter of the root, and of a doubled one.
    if (i > 0 && fileName[i - 1] != u'/')
        return fileName.left(i);
    return fileName.left(i + 1);
}

QString ExtractFileName(const QString& fileName)
{
    return fileName.mid(fileName.lastIndexOf(u'/') + 1);
}

bool FileExists(const QString& fileName)
{
    if (fileName.isEmpty())
        return false;
    const QFileInfo info(fileName);
    return info.exists() && !info.isDir();
}

bool DirectoryExists(const QString& directory)
{
    return !directory.isEmpty() && QFileInfo(directory).isDir();
}

bool ForceDirectories(const QString& directory)
{
    if (directory.isEmpty())
        return false;
    QDir().mkpath(directory);
    return DirectoryExists(directory);
}

// --- Files ----------------------------------------------------------------------------

QString FileErrorText(const QString& fileName, DWORD code, const QString& detail)
{
    QString text;
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        text = QStringLiteral("The disk that holds \"%1\" is full.").arg(fileName);
        break;
    case ERROR_WRITE_PROTECT:
        text = QStringLiteral("The disk that holds \"%1\" is read-only.").arg(fileName);
        break;
    case ERROR_ACCESS_DENIED:
        text = QStringLiteral("\"%1\" cannot be created or written: its folder is read-only or access is denied.")
                   .arg(fileName);
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        text = QStringLiteral("\"%1\" cannot be created: its folder does not exist.").arg(fileName);
        break;
    case ERROR_FILENAME_EXCED_RANGE:
        text = QStringLiteral("\"%1\" cannot be created: the name is too long.").arg(fileName);
        break;
    case ERROR_FILE_TOO_LARGE:
        text = QStringLiteral("\"%1\" cannot grow any larger on its disk.").arg(fileName);
        break;
    case ERROR_INVALID_NAME:
        text = QStringLiteral("\"%1\" cannot be created: the name is not valid.").arg(fileName);
        break;
    default:
        text = code ? QStringLiteral("\"%1\" cannot be written (error %2).").arg(fileName).arg(code)
                    : QStringLiteral("\"%1\" cannot be written.").arg(fileName);
        break;
    }
    if (!detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(detail);
    return text;
}

void SaveFileSafely(const QString& fileName, const QByteArray& data)
{
    const QByteArray target = QFile::encodeName(fileName);
    const auto fail = [&](int err, const char* what) {
        throw Exception(FileErrorText(fileName, th::Win32ErrorFromErrno(err),
                                      QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(err)))));
    };
    // The new file gets the permissions of the old one, or those the process
    // gives new files: created with 0666, the kernel applies the umask, which
    // reading it (umask(0), then back) would change for every other thread.
    struct stat st {};
    const bool replacing = ::stat(target.constData(), &st) == 0;
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = target + "." + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100))
            fail(errno, "creating the new file");
    }
    int err = 0;
    const char* what = nullptr;
    if (replacing)
        ::fchmod(fd, st.st_mode & 07777);
    for (qsizetype done = 0; done < data.size() && !err;) {
        const ssize_t w = ::write(fd, data.constData() + done, static_cast<std::size_t>(data.size() - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            err = w < 0 ? errno : EIO;
            what = "writing";
        } else {
            done += w;
        }
    }
    // Delayed allocation reports a full disk only here.
    if (!err && ::fsync(fd) != 0) {
        err = errno;
        what = "flushing to the disk";
    }
    if (::close(fd) != 0 && !err) {
        err = errno;
        what = "closing";
    }
    if (!err && ::rename(temp.constData(), target.constData()) != 0) {
        err = errno;
        what = "replacing the old file";
    }
    if (err) {
        ::unlink(temp.constData());
        fail(err, what);
    }
}
