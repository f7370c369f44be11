#pragma once
// The runtime's exception classes and the small string, number and file helpers
// the system code calls, on QString. Paths use "/" as their delimiter.

#include "platform/base/WinTypes.h"

#include <QByteArray>
#include <QString>
#include <exception>
#include <string>

// The base of every exception the system raises. what() gives the message in UTF-8.
class Exception : public std::exception {
public:
    Exception() = default;
    explicit Exception(const QString& message);
    ~Exception() override;

    QString Message() const { return message_; }
    void SetMessage(const QString& message);
    const char* what() const noexcept override;

private:
    QString message_;
    std::string utf8_;
};

// A failed HRESULT raised as the operating system's exception would be:
// "External exception 80004005" (upper-case hex, no leading zeros).
class EExternalException : public Exception {
public:
    explicit EExternalException(HRESULT code);
    HRESULT ExceptionCode() const { return code_; }

private:
    HRESULT code_;
};

// A text or a date that does not convert.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A registry call that failed: a value of the wrong type, a refused write, a damaged hive.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// --- Numbers ----------------------------------------------------------------

// Decimal (optionally signed, leading blanks allowed) or hexadecimal with "$" or
// "0x"; raises EConvertError "'%s' is not a valid integer value" otherwise.
int StrToInt(const QString& s);
int StrToIntDef(const QString& s, int def);
bool TryStrToInt(const QString& s, int& value);

// Formats with a picture of "#", "0", "," and "." such as "#,##0.00": "0" is a
// digit always shown, "#" one shown only when significant, a "," anywhere in the
// integer part turns on thousands grouping. Halves round away from zero. The
// separators are those of QLocale() (the default locale, the system's unless a
// program or test sets another with QLocale::setDefault).
QString FormatFloat(const QString& format, double value);

// --- Texts -------------------------------------------------------------------

// Removes leading and trailing blanks and control characters (every character
// up to U+0020).
QString Trim(const QString& s);
// Equal but for the case of the ASCII letters A to Z; every other character
// compares exactly.
bool SameText(const QString& a, const QString& b);

// --- Paths ("/" is the delimiter) -------------------------------------------------

QString IncludeTrailingPathDelimiter(const QString& path);
QString ExcludeTrailingPathDelimiter(const QString& path);
// The extension with its dot ("" when the name has none); a dot in a folder name does not count.
QString ExtractFileExt(const QString& fileName);
// Replaces the extension (or appends one when there is none); ext includes its dot.
QString ChangeFileExt(const QString& fileName, const QString& ext);
// The folder part with its trailing "/" ("" for a bare name).
QString ExtractFilePath(const QString& fileName);
// The folder part without its trailing "/" (kept for "/" itself).
QString ExtractFileDir(const QString& fileName);
// The part after the last "/".
QString ExtractFileName(const QString& fileName);

// A file that exists and is not a folder.
bool FileExists(const QString& fileName);
bool DirectoryExists(const QString& directory);
// Makes the folder with every missing parent; True when it exists afterwards
// (False for an empty name or when a part cannot be made).
bool ForceDirectories(const QString& directory);

// --- Files -------------------------------------------------------------------------

// What a person reads when an operation on fileName failed with a Win32 error
// code ("The disk that holds \"...\" is full."); detail, when given, follows in
// brackets (the operation and the system's own message).
QString FileErrorText(const QString& fileName, DWORD code, const QString& detail = {});
// Writes data into a new file beside fileName, flushed to the disk, and only
// then renames it over fileName: on any failure (a full disk included) the old
// file stays as it was. Raises Exception with FileErrorText.
void SaveFileSafely(const QString& fileName, const QByteArray& data);
