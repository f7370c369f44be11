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

class XmlDocument {
public:
    // A new document that holds only the declaration (version "1.0" and the
    // encoding).
    static XmlDocument create(const QString& encoding = QStringLiteral("UTF-8"));
    // Reads and parses a file; a file that cannot be read or is not
    // well-formed raises EXmlDocError with its name and the parser's message.
    static XmlDocument loadFromFile(const QString& path);
    // The same for bytes already read; sourceName names them in messages.
    static XmlDocument loadFromData(const QByteArray& data, const QString& sourceName);

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
