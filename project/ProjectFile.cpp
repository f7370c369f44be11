// The ".thp" file: one XML document, every value the text of its element.
//
// <project><name/><capture><docapture/>
//   <tapeoptions><tapeoption/><rewindtape/><starttime>(hour minute second frame)</starttime><endtime>...</endtime></tapeoptions>
//   <filetype/><showpreview/><splitfiles/><capturefolder/><files><file><name/></file>...</files>
// </capture><shutdown/></project>

#include "project/Project.h"
#include "project/XmlDocument.h"

#include "platform/rtl/SysUtils.h"


using th::xml::XmlDocument;
using th::xml::XmlNode;

namespace {

QString boolText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

void addValue(XmlNode parent, const char* name, const QString& text)
{
    parent.addChild(QString::fromLatin1(name)).setText(text);
}

void addValue(XmlNode parent, const char* name, bool value) { addValue(parent, name, boolText(value)); }

void addNumber(XmlNode parent, const char* name, unsigned value)
{
    addValue(parent, name, QString::number(value));
}

void addTimecode(XmlNode parent, const char* name, const TTimecode& tc)
{
    XmlNode node = parent.addChild(QString::fromLatin1(name));
    addNumber(node, "hour", tc.Hours);
    addNumber(node, "minute", tc.Minutes);
    addNumber(node, "second", tc.Seconds);
    addNumber(node, "frame", tc.Frames);
}

XmlNode child(const XmlNode& parent, const char* name) { return parent.childNamed(QString::fromLatin1(name)); }

// Every numeric field is one byte: only the lowest byte of the number counts.
std::uint8_t byteOf(const XmlNode& node) { return static_cast<std::uint8_t>(node.asInteger() & 0xFF); }

TTimecode readTimecode(const XmlNode& node)
{
    const std::uint8_t hours = byteOf(child(node, "hour"));
    const std::uint8_t minutes = byteOf(child(node, "minute"));
    const std::uint8_t seconds = byteOf(child(node, "second"));
    const std::uint8_t frames = byteOf(child(node, "frame"));
    return MakeTimecode(hours, minutes, seconds, frames);
}

} // namespace

void TTHProject::Save()
{
    const QString path = FileName.isEmpty() ? DefaultFileName() : FileName;

    // A folder that cannot be made shows up as the failure of the write.
    const QString folder = ExtractFileDir(path);
    if (!folder.isEmpty() && !DirectoryExists(folder))
        ForceDirectories(folder);

    XmlDocument doc = XmlDocument::create(QStringLiteral("UTF-8"));
    XmlNode project = doc.addRoot(QStringLiteral("project"));
    addValue(project, "name", Name);
    XmlNode capture = project.addChild(QStringLiteral("capture"));
    addValue(capture, "docapture", CaptureJob);
    XmlNode tapeOptions = capture.addChild(QStringLiteral("tapeoptions"));
    addNumber(tapeOptions, "tapeoption", TapeOption);
    addValue(tapeOptions, "rewindtape", RewindTape);
    addTimecode(tapeOptions, "starttime", StartTime);
    addTimecode(tapeOptions, "endtime", EndTime);
    addNumber(capture, "filetype", FileType);
    addValue(capture, "showpreview", ShowPreview);
    addValue(capture, "splitfiles", SplitFiles);
    addValue(capture, "capturefolder", CaptureFolder);
    XmlNode files = capture.addChild(QStringLiteral("files"));
    for (const QString& file : Files)
        addValue(files.addChild(QStringLiteral("file")), "name", file);
    addValue(project, "shutdown", Shutdown);

    doc.saveToFile(path);

    FileName = path;
    Modified = false;
    IsNew = false;
}

void TTHProject::LoadFromFile(const QString& FileName)
{
    if (FileName == this->FileName)
        return;
    this->FileName = FileName;

    const XmlDocument doc = XmlDocument::loadFromFile(FileName);
    const XmlNode project = doc.rootNamed(QStringLiteral("project"));
    const XmlNode capture = child(project, "capture");
    const XmlNode tapeOptions = child(capture, "tapeoptions");

    Name = child(project, "name").asString();
    SetCaptureJob(child(capture, "docapture").asBoolean());
    SetTapeOption(static_cast<TTapeOption>(byteOf(child(tapeOptions, "tapeoption"))));
    SetRewindTape(child(tapeOptions, "rewindtape").asBoolean());
    SetFileType(byteOf(child(capture, "filetype")));
    SetShowPreview(child(capture, "showpreview").asBoolean());
    SetSplitFiles(child(capture, "splitfiles").asBoolean());
    SetCaptureFolder(child(capture, "capturefolder").asString());
    SetStartTime(readTimecode(child(tapeOptions, "starttime")));
    SetEndTime(readTimecode(child(tapeOptions, "endtime")));
    // The entries keep their order; the name of each entry element does not
    // matter, only its own "name" child.
    for (const XmlNode& entry : child(capture, "files").children())
        Files.append(child(entry, "name").asString());
    SetShutdown(child(project, "shutdown").asBoolean());

    Modified = false;
    IsNew = false;
    CheckFiles();
}
