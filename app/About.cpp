#include "app/About.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QUrl>

#include <elf.h>

#include <cstring>
#include <vector>

// The program's version record: name and value pairs of NUL-terminated UTF-8
// strings, ended by an empty name, in a section of its own so that the About
// box reads it back from the executable file as it would read any other
// program's. Kept by the linker even when sections are collected.
namespace {

constexpr char kVersionSection[] = ".tharvest.version";

// The section is the record and nothing more: clang's AddressSanitizer would
// pad it with zeros that read as terminators of a damaged record.
#if defined(__clang__)
#define TH_RECORD_UNPADDED __attribute__((no_sanitize("address")))
#else
#define TH_RECORD_UNPADDED
#endif
TH_RECORD_UNPADDED __attribute__((section(".tharvest.version"), used, retain)) const char kVersionRecord[] =
    "FileVersion\0"
    "1.0.0.65\0"
    "ProductVersion\0"
    "1.0\0";

constexpr char kDefaultProductVersion[] = "1.0";

// Larger than any record we write; a bigger section is taken for damage.
constexpr quint64 kMaxRecordBytes = 64 * 1024;

#if __SIZEOF_POINTER__ == 8
using ElfEhdr = Elf64_Ehdr;
using ElfShdr = Elf64_Shdr;
constexpr unsigned char kElfClass = ELFCLASS64;
#else
using ElfEhdr = Elf32_Ehdr;
using ElfShdr = Elf32_Shdr;
constexpr unsigned char kElfClass = ELFCLASS32;
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kElfData = ELFDATA2LSB;
#else
constexpr unsigned char kElfData = ELFDATA2MSB;
#endif

// Reads exactly Length bytes at Offset, never past the end of the file.
bool readAt(QFile& File, quint64 FileSize, quint64 Offset, void* Buffer, quint64 Length)
{
    if (Offset > FileSize || Length > FileSize - Offset)
        return false;
    return File.seek(qint64(Offset)) && File.read(static_cast<char*>(Buffer), qint64(Length)) == qint64(Length);
}

QMap<QString, QString> parseRecord(const std::vector<char>& Bytes)
{
    QMap<QString, QString> values;
    const char* p = Bytes.data();
    const char* end = p + Bytes.size();
    while (p < end) {
        const char* nameEnd = static_cast<const char*>(std::memchr(p, 0, size_t(end - p)));
        if (!nameEnd || nameEnd == p)
            break;
        const char* value = nameEnd + 1;
        const char* valueEnd = value < end ? static_cast<const char*>(std::memchr(value, 0, size_t(end - value))) : nullptr;
        if (!valueEnd)
            break;
        const QString name = QString::fromUtf8(p, nameEnd - p);
        if (!values.contains(name))
            values.insert(name, QString::fromUtf8(value, valueEnd - value));
        p = valueEnd + 1;
    }
    return values;
}

QPixmap drawBanner(int Width, int Height)
{
    QPixmap banner(Width, Height);
    QPainter painter(&banner);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, 0, Width, Height);
    gradient.setColorAt(0.0, QColor(16, 40, 96));
    gradient.setColorAt(1.0, QColor(70, 130, 200));
    painter.fillRect(banner.rect(), gradient);

    QFont maker = painter.font();
    maker.setPointSize(9);
    painter.setFont(maker);
    painter.setPen(QColor(200, 220, 255));
    painter.drawText(QRect(16, 6, Width - 32, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tolmar"));

    QFont product = painter.font();
    product.setPointSize(22);
    product.setBold(true);
    painter.setFont(product);
    painter.setPen(Qt::white);
    painter.drawText(QRect(16, 20, Width - 32, 40), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("TapeHarvest"));
    return banner;
}

QFrame* makeBevel(QWidget* Parent, const char* Name, int Left, int Top, int Width)
{
    auto* bevel = new QFrame(Parent);
    bevel->setObjectName(QString::fromLatin1(Name));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(Left, Top, Width, 2);
    return bevel;
}

QLabel* makeLabel(QWidget* Parent, const char* Name, const QString& Text, int Left, int Top)
{
    auto* label = new QLabel(Text, Parent);
    label->setObjectName(QString::fromLatin1(Name));
    label->move(Left, Top);
    label->adjustSize();
    return label;
}

} // namespace

QString AboutHomePage()
{
    return QStringLiteral("https://www.tolmar.example/");
}

QStringList SplitFileVersion(const QString& FileVersion)
{
    QStringList parts = FileVersion.split(QLatin1Char('.'));
    if (parts.last().isEmpty())
        parts.removeLast();
    return parts;
}

TVersionLabels VersionLabelsOf(const QString& FileVersion, const QString& ProductVersion)
{
    const QStringList parts = SplitFileVersion(FileVersion);
    if (parts.size() == 4)
        return {parts.mid(0, 3).join(QLatin1Char('.')), parts[3]};
    return {ProductVersion, FileVersion};
}

TVersionLabels VersionLabelsOf(const QMap<QString, QString>& Record)
{
    return VersionLabelsOf(Record.value(QStringLiteral("FileVersion")),
                           Record.value(QStringLiteral("ProductVersion"), QString::fromLatin1(kDefaultProductVersion)));
}

QMap<QString, QString> ReadVersionStrings(const QString& ExecutableFile)
{
    QFile file(ExecutableFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const quint64 fileSize = quint64(file.size());

    ElfEhdr header;
    if (!readAt(file, fileSize, 0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != kElfClass || header.e_ident[EI_DATA] != kElfData || header.e_shoff == 0 ||
        header.e_shentsize != sizeof(ElfShdr))
        return {};

    // Files with very many sections keep the count and the name table's index
    // in the first section header.
    quint64 count = header.e_shnum;
    quint64 namesIndex = header.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        ElfShdr first;
        if (!readAt(file, fileSize, header.e_shoff, &first, sizeof first))
            return {};
        if (count == 0)
            count = first.sh_size;
        if (namesIndex == SHN_XINDEX)
            namesIndex = first.sh_link;
    }
    if (count == 0 || count > fileSize / sizeof(ElfShdr) || namesIndex >= count)
        return {};
    std::vector<ElfShdr> sections(count);
    if (!readAt(file, fileSize, header.e_shoff, sections.data(), count * sizeof(ElfShdr)))
        return {};

    const ElfShdr& namesHeader = sections[namesIndex];
    if (namesHeader.sh_type == SHT_NOBITS || namesHeader.sh_size > fileSize)
        return {};
    std::vector<char> names(namesHeader.sh_size);
    if (!readAt(file, fileSize, namesHeader.sh_offset, names.data(), names.size()))
        return {};

    for (const ElfShdr& section : sections) {
        if (section.sh_name >= names.size())
            continue;
        const char* name = names.data() + section.sh_name;
        const size_t room = names.size() - section.sh_name;
        if (strnlen(name, room) == room || std::strcmp(name, kVersionSection) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > kMaxRecordBytes)
            return {};
        std::vector<char> record(section.sh_size);
        if (!readAt(file, fileSize, section.sh_offset, record.data(), record.size()))
            return {};
        return parseRecord(record);
    }
    return {};
}

// --- The dialog --------------------------------------------------------------------------

TAboutForm::TAboutForm(QWidget* Owner) : QDialog(Owner)
{
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About Tolmar TapeHarvest"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(380, 227);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(0, 0, 386, 76);
    Image1->setPixmap(drawBanner(386, 76));

    BetaLabel = makeLabel(this, "BetaLabel", QStringLiteral("beta version"), 225, 60);
    QPalette beta = BetaLabel->palette();
    beta.setColor(QPalette::WindowText, Qt::white);
    BetaLabel->setPalette(beta);
    BetaLabel->setAutoFillBackground(false);
    BetaLabel->hide();

    Bevel1 = makeBevel(this, "Bevel1", 0, 76, 386);
    Label1 = makeLabel(this, "Label1", QStringLiteral("Version:"), 170, 80);
    VersionLabel = makeLabel(this, "VersionLabel", QStringLiteral("1.0"), 218, 80);
    Label2 = makeLabel(this, "Label2", QStringLiteral("Build:"), 266, 80);
    BuildLabel = makeLabel(this, "BuildLabel", QStringLiteral("1"), 298, 80);

    Label5 = makeLabel(this, "Label5", AboutHomePage(), 16, 152);
    QFont link = Label5->font();
    link.setUnderline(true);
    Label5->setFont(link);
    QPalette linkColour = Label5->palette();
    linkColour.setColor(QPalette::WindowText, linkColour.color(QPalette::Active, QPalette::Highlight));
    Label5->setPalette(linkColour);
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->adjustSize();
    Label5->installEventFilter(this);

    Bevel2 = makeBevel(this, "Bevel2", 8, 184, 369);

    BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(296, 192, 75, 25);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

    // The banner and the beta mark lie on top of each other; the mark wins.
    BetaLabel->raise();

    FormCreate();
}

void TAboutForm::FormCreate()
{
    BetaLabel->show();
}

void TAboutForm::FormShow()
{
    const TVersionLabels labels = VersionLabelsOf(ReadVersionStrings(QCoreApplication::applicationFilePath()));
    VersionLabel->setText(labels.Version);
    VersionLabel->adjustSize();
    BuildLabel->setText(labels.Build);
    BuildLabel->adjustSize();
}

void TAboutForm::Label5Click()
{
    QDesktopServices::openUrl(QUrl(AboutHomePage()));
}

void TAboutForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Only the dialog's own showing; a restore from minimised is no new showing.
    if (!event->spontaneous())
        FormShow();
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label5 && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && Label5->rect().contains(mouse->position().toPoint())) {
            Label5Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
