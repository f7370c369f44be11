#include "project/XmlDocument.h"

#include <QDomNode>
#include <QDomProcessingInstruction>
#include <QDomText>
#include <QFile>
#include <QXmlStreamReader>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace th::xml {

namespace {

[[noreturn]] void castError(const char* from, const char* to)
{
    throw EVariantTypeCastError(QStringLiteral("Could not convert variant of type (%1) into type (%2)")
                                    .arg(QLatin1String(from), QLatin1String(to)));
}

// Optional sign and decimal digits, blanks around allowed; nothing outside
// the signed 32-bit range.
std::optional<qint32> parseDecimal(const QString& text)
{
    const QString s = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    if (i == s.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > qint64(std::numeric_limits<qint32>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return static_cast<qint32>(value);
}

// The characters of XML 1.0: tab, line feed, carriage return, and from the
// blank up, without unpaired surrogates and without U+FFFE and U+FFFF.
bool isXmlText(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x20) {
            if (c != u'\t' && c != u'\n' && c != u'\r')
                return false;
        } else if (QChar::isHighSurrogate(c)) {
            if (i + 1 >= text.size() || !QChar::isLowSurrogate(text[i + 1].unicode()))
                return false;
            ++i;
        } else if (QChar::isLowSurrogate(c) || c == 0xFFFE || c == 0xFFFF) {
            return false;
        }
    }
    return true;
}

} // namespace

XmlNode XmlNode::addChild(const QString& name)
{
    QDomElement child = element_.ownerDocument().createElement(name);
    element_.appendChild(child);
    return XmlNode(child);
}

void XmlNode::setText(const QString& text)
{
    // Written as they are, such characters would leave a file that no parser
    // reads back; refusing the save keeps the old file instead.
    if (!isXmlText(text))
        throw EXmlDocError(QStringLiteral("The text \"%1\" of the element \"%2\" holds a character that an XML file "
                                          "cannot store")
                               .arg(text, element_.tagName()));
    while (!element_.firstChild().isNull())
        element_.removeChild(element_.firstChild());
    if (!text.isEmpty())
        element_.appendChild(element_.ownerDocument().createTextNode(text));
}

XmlNode XmlNode::childNamed(const QString& name) const
{
    if (element_.isNull())
        return {};
    return XmlNode(element_.firstChildElement(name));
}

int XmlNode::childCount() const
{
    int count = 0;
    for (QDomElement e = element_.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        ++count;
    return count;
}

XmlNode XmlNode::child(int index) const
{
    QDomElement e = element_.firstChildElement();
    for (int i = 0; i < index && !e.isNull(); ++i)
        e = e.nextSiblingElement();
    return XmlNode(e);
}

std::vector<XmlNode> XmlNode::children() const
{
    std::vector<XmlNode> result;
    for (QDomElement e = element_.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        result.emplace_back(e);
    return result;
}

std::optional<QString> XmlNode::nodeValue() const
{
    if (element_.isNull())
        return std::nullopt;
    const QDomNodeList children = element_.childNodes();
    if (children.isEmpty())
        return std::nullopt;
    if (children.size() == 1 && children.at(0).isText()) // CDATA sections are text too
        return children.at(0).nodeValue();
    throw EXmlDocError(QStringLiteral("Element does not contain a single text node"));
}

bool XmlNode::asBoolean() const
{
    const std::optional<QString> value = nodeValue();
    if (!value)
        castError("Null", "Boolean");
    const QString text = value->trimmed();
    if (text.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    if (const std::optional<qint32> number = parseDecimal(text))
        return *number != 0;
    castError("OleStr", "Boolean");
}

qint32 XmlNode::asInteger() const
{
    const std::optional<QString> value = nodeValue();
    if (!value)
        castError("Null", "Integer");
    if (const std::optional<qint32> number = parseDecimal(*value))
        return *number;
    castError("OleStr", "Integer");
}

QString XmlNode::asString() const
{
    const std::optional<QString> value = nodeValue();
    if (!value)
        castError("Null", "String");
    return *value;
}

XmlDocument XmlDocument::create(const QString& encoding)
{
    XmlDocument doc;
    doc.document_.appendChild(doc.document_.createProcessingInstruction(
        QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"%1\"").arg(encoding)));
    return doc;
}

namespace {

void checkDepth(const QByteArray& data, const QString& sourceName, const QString& what)
{
    // A streaming scan holds one name per open element and never recurses;
    // what it finds malformed is left to the parser to report.
    QXmlStreamReader reader(data);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > kMaxDepth)
            throw EXmlDocError(QStringLiteral("\"%1\" is not a %2: its elements are nested more than %3 deep.")
                                   .arg(sourceName, what)
                                   .arg(kMaxDepth));
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
}

[[noreturn]] void tooLarge(const QString& sourceName, const QString& what)
{
    throw EXmlDocError(QStringLiteral("\"%1\" is not a %2: it is larger than %3 MB, which no %2 is.")
                           .arg(sourceName, what)
                           .arg(kMaxFileBytes / (1024 * 1024)));
}

QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

[[noreturn]] void notAFile(const QString& path, const QString& what, mode_t mode)
{
    throw EXmlDocError(QStringLiteral("\"%1\" is not a %2: it is %3, not a file.").arg(path, what, kindOf(mode)));
}

// Opens a regular file only. Opening a named pipe waits for a writer that may
// never come, and opening a device may set it going, so the kind is checked
// before the open and again on what was opened, and the open never waits.
int openRegularFile(const QString& path, const QString& what)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        notAFile(path, what, st.st_mode);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        throw EXmlDocError(
            QStringLiteral("Cannot open the file \"%1\": %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const mode_t mode = st.st_mode;
        ::close(fd);
        notAFile(path, what, mode);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

QByteArray readLimited(const QString& path, const QString& what)
{
    const int fd = openRegularFile(path, what);
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw EXmlDocError(QStringLiteral("Cannot open the file \"%1\": %2").arg(path, file.errorString()));
    }
    if (file.size() > kMaxFileBytes)
        tooLarge(path, what);
    // One byte past the bound: a file may grow meanwhile, and some report no size.
    const QByteArray data = file.read(kMaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        throw EXmlDocError(QStringLiteral("Cannot read the file \"%1\": %2").arg(path, file.errorString()));
    if (data.size() > kMaxFileBytes)
        tooLarge(path, what);
    return data;
}

} // namespace

QByteArray readBounded(const QString& path, const QString& what)
{
    QByteArray data = readLimited(path, what);
    checkDepth(data, path, what);
    return data;
}

XmlDocument XmlDocument::loadFromFile(const QString& path, const QString& what)
{
    return loadFromData(readLimited(path, what), path, what);
}

XmlDocument XmlDocument::loadFromData(const QByteArray& data, const QString& sourceName, const QString& what)
{
    if (data.size() > kMaxFileBytes)
        tooLarge(sourceName, what);
    checkDepth(data, sourceName, what);
    XmlDocument doc;
    doc.sourceName_ = sourceName;
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.document_.setContent(data, false, &message, &line, &column)) {
        throw EXmlDocError(QStringLiteral("\"%1\" is not a well-formed XML document: %2 (line %3, column %4)")
                               .arg(sourceName, message)
                               .arg(line)
                               .arg(column));
    }
    return doc;
}

XmlNode XmlDocument::addRoot(const QString& name)
{
    QDomElement root = document_.createElement(name);
    document_.appendChild(root);
    return XmlNode(root);
}

XmlNode XmlDocument::rootNamed(const QString& name) const
{
    const QDomElement root = document_.documentElement();
    if (root.isNull())
        throw EXmlDocError(QStringLiteral("\"%1\" has no root element").arg(sourceName_));
    if (root.tagName() != name) {
        throw EXmlDocError(QStringLiteral("\"%1\" has the root element \"%2\" where \"%3\" was expected")
                               .arg(sourceName_, root.tagName(), name));
    }
    return XmlNode(root);
}

QByteArray XmlDocument::toByteArray() const { return document_.toByteArray(-1); }

void XmlDocument::saveToFile(const QString& path) const
{
    try {
        SaveFileSafely(path, toByteArray());
    } catch (const Exception& e) {
        throw EXmlDocError(e.Message());
    }
}

} // namespace th::xml
