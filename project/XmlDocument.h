#pragma once
// A thin document layer over Qt XML, just what the project file needs:
// elements without attributes, each value the text of its element. It speaks
// in the terms of the document wrapper the project code was written against,
// so a value is read as a variant that is either Null or a string and is then
// converted to the type wanted, with the wrapper's messages.

#include "platform/rtl/SysUtils.h"

#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QString>

#include <optional>
#include <vector>

namespace th::xml {

// A file that cannot be opened, read, parsed or written, a document without
// the root element asked for, an element whose content is more than one text.
class EXmlDocError : public Exception {
public:
    using Exception::Exception;
};

// A value that does not convert to the type wanted:
// "Could not convert variant of type (Null) into type (Boolean)".
class EVariantTypeCastError : public Exception {
public:
    using Exception::Exception;
};

class XmlNode {
public:
    XmlNode() = default;
    explicit XmlNode(QDomElement element) : element_(std::move(element)) {}

    bool isNull() const { return element_.isNull(); }
    QString nodeName() const { return element_.tagName(); }

    // Appends a new element of that name as the last child.
    XmlNode addChild(const QString& name);
    // Replaces the content with one text; a text with a character XML cannot
    // hold (control characters, unpaired surrogates) raises EXmlDocError.
    void setText(const QString& text);

    // The first child element of that name; a null node when there is none
    // (and for a null node).
    XmlNode childNamed(const QString& name) const;
    // Child elements by position; other kinds of node (comments, processing
    // instructions) are not counted.
    int childCount() const;
    XmlNode child(int index) const;
    std::vector<XmlNode> children() const;

    // Null (nothing) for a missing or empty element, the text for an element
    // that holds one text; otherwise raises EXmlDocError "Element does not
    // contain a single text node".
    std::optional<QString> nodeValue() const;

    // The value converted: "True"/"False" in any case or a decimal number
    // (0 is False); a signed 32-bit decimal number; any text. Raise
    // EVariantTypeCastError naming "Null" or "OleStr" and the type wanted.
    bool asBoolean() const;
    qint32 asInteger() const;
    QString asString() const;

private:
    QDomElement element_;
};

// The program's own XML files (projects, scene files) are small and shallow.
// A file larger than kMaxFileBytes, or whose elements nest deeper than
// kMaxDepth, is none of them: it is refused before it is parsed, so a video
// picked by mistake is not read whole and a crafted file cannot stall the
// parser. Both bounds lie far beyond any file the program writes.
inline constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
inline constexpr int kMaxDepth = 32;

// The bytes of a file within those bounds; otherwise raises EXmlDocError
// naming the file and saying it is no What ("project file", "scene file").
QByteArray readBounded(const QString& path, const QString& what);

class XmlDocument {
public:
    // A new document that holds only the declaration (version "1.0" and the
    // encoding).
    static XmlDocument create(const QString& encoding = QStringLiteral("UTF-8"));
    // Reads and parses a file; a file that cannot be read or is not
    // well-formed raises EXmlDocError with its name and the parser's message,
    // and so does one beyond the bounds of readBounded (What names its kind).
    static XmlDocument loadFromFile(const QString& path, const QString& what = QStringLiteral("project file"));
    // The same for bytes already read; sourceName names them in messages.
    static XmlDocument loadFromData(const QByteArray& data, const QString& sourceName,
                                    const QString& what = QStringLiteral("project file"));

    // Adds the root element (once).
    XmlNode addRoot(const QString& name);
    // The root element, which must have this name; raises EXmlDocError when
    // there is none or it has another name.
    XmlNode rootNamed(const QString& name) const;

    // The document as written: UTF-8, no indentation.
    QByteArray toByteArray() const;
    // Writes beside the file and renames the result over it, so the old file
    // stays whole until the new one is complete; raises EXmlDocError naming
    // the file.
    void saveToFile(const QString& path) const;

private:
    QDomDocument document_;
    QString sourceName_;
};

} // namespace th::xml
