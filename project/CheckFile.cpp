#include "project/CheckFile.h"

#include "platform/rtl/SysUtils.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMainWindow>
#include <QMimeDatabase>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <algorithm>

namespace {

TCheckFileForm::AnswerHook& answerHook()
{
    static TCheckFileForm::AnswerHook hook;
    return hook;
}

TCheckFileForm::BrowseHook& browseHook()
{
    static TCheckFileForm::BrowseHook hook;
    return hook;
}

// Any existing file or folder counts here, unlike in the check itself: the
// user may point at whatever the open dialog lets them pick.
bool pickedPathExists(const QString& path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

// A Qt name-filter pattern that matches exactly one literal name. Qt splits
// patterns at blanks and ends them at parentheses, and "[" opens a set, so
// those characters become single-character wildcards.
QString literalPattern(const QString& text)
{
    QString pattern;
    pattern.reserve(text.size());
    for (QChar c : text) {
        if (c == u' ' || c == u'(' || c == u')' || c == u'[' || c == u']' || c == u';')
            pattern += u'?';
        else
            pattern += c;
    }
    return pattern;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText); // file names are shown, never interpreted
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, int top)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    button->setGeometry(424, top, 90, 25);
    return button;
}

} // namespace

TCheckFileForm::TCheckFileForm(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("CheckFileForm"));
    setWindowTitle(QStringLiteral("Cannot find the file"));
    setFixedSize(530, 259);

    constexpr int left = 64;
    constexpr int textWidth = 340;

    Image1 = makeLabel(this, "Image1", QString(), QRect(16, 16, 32, 32));
    Image1->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));

    TitleLabel = makeLabel(this, "TitleLabel", QStringLiteral("TapeHarvest cannot find the file:"),
                           QRect(left, 16, textWidth, 17));
    FileNameLabel = makeLabel(this, "FileNameLabel", QString(), QRect(left, 40, textWidth, 17));
    QFont bold = FileNameLabel->font();
    bold.setBold(true);
    FileNameLabel->setFont(bold);
    FileNameLabel->setFixedWidth(textWidth);

    MainHintLabel = makeLabel(this, "MainHintLabel", QString(), QRect(left, 72, textWidth, 64));
    MainHintLabel->setWordWrap(true);
    OtherHintLabel = makeLabel(
        this, "OtherHintLabel",
        QStringLiteral("Also you can click the 'Ignore' button to ignore this file or the "
                       "'Ignore All' button to skip all missing files."),
        QRect(left, 144, textWidth, 64));
    OtherHintLabel->setWordWrap(true);

    // Created in tab order.
    BrowseBtn = makeButton(this, "BrowseBtn", QStringLiteral("Browse..."), 16);
    IgnoreBtn = makeButton(this, "IgnoreBtn", QStringLiteral("Ignore"), 48);
    IgnoreAllBtn = makeButton(this, "IgnoreAllBtn", QStringLiteral("Ignore All"), 80);
    OkBtn = makeButton(this, "OkBtn", QStringLiteral("OK"), 112);
    setTabOrder(BrowseBtn, IgnoreBtn);
    setTabOrder(IgnoreBtn, IgnoreAllBtn);
    setTabOrder(IgnoreAllBtn, OkBtn);

    OpenDialog = new QFileDialog(this);
    OpenDialog->setObjectName(QStringLiteral("OpenDialog"));
    OpenDialog->setFileMode(QFileDialog::ExistingFile);
    OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog->setSizeGripEnabled(true);

    connect(BrowseBtn, &QPushButton::clicked, this, [this] { BrowseBtnClick(BrowseBtn); });
    connect(IgnoreBtn, &QPushButton::clicked, this, [this] { IgnoreBtnClick(IgnoreBtn); });
    connect(IgnoreAllBtn, &QPushButton::clicked, this, [this] { IgnoreAllBtnClick(IgnoreAllBtn); });
    connect(OkBtn, &QPushButton::clicked, this, [this] { OkBtnClick(OkBtn); });
}

TCheckFileForm::~TCheckFileForm() = default;

void TCheckFileForm::SetAnswerHook(AnswerHook hook) { answerHook() = std::move(hook); }
void TCheckFileForm::SetBrowseHook(BrowseHook hook) { browseHook() = std::move(hook); }

void TCheckFileForm::UpdateControls()
{
    QString buttonWord;
    QString purpose;
    if (pickedPathExists(NewFileName)) {
        buttonWord = QStringLiteral("OK");
        purpose = QStringLiteral("replace the \"%1\" to \"%2\"").arg(MissingFileName, NewFileName);
        OkBtn->setEnabled(true);
    } else {
        buttonWord = QStringLiteral("Browse");
        purpose = QStringLiteral("find the file yourself");
        OkBtn->setEnabled(false);
    }
    MainHintLabel->setText(QStringLiteral("You can click the %1 button to %2.").arg(buttonWord, purpose));

    const QFontMetrics metrics(FileNameLabel->font());
    const int room = std::max(0, FileNameLabel->width() - 100);
    FileNameLabel->setText(metrics.elidedText(MissingFileName, Qt::ElideMiddle, room));
    FileNameLabel->setToolTip(MissingFileName);
}

QString TCheckFileForm::ShellTypeName(const QString& extension)
{
    if (extension.size() > 1) {
        // Only the extension decides, as the shell's registration does; a
        // made-up base name keeps whole-name rules ("Makefile") out of it.
        const QMimeType type = QMimeDatabase().mimeTypeForFile(QStringLiteral("x") + extension,
                                                               QMimeDatabase::MatchExtension);
        if (type.isValid() && !type.isDefault() && !type.comment().isEmpty())
            return type.comment();
    }
    return extension.mid(1).toUpper() + QStringLiteral(" File");
}

QString TCheckFileForm::OpenDialogFilter(const QString& missingFileName)
{
    const QString name = ExtractFileName(missingFileName);
    const QString ext = ExtractFileExt(missingFileName);
    return QStringLiteral("%1|%2|%3 (*%4)|*%5| All files (*.*)|*.*")
        .arg(name, name, ShellTypeName(ext), ext, ext);
}

QStringList TCheckFileForm::OpenDialogNameFilters(const QString& missingFileName)
{
    const QString name = ExtractFileName(missingFileName);
    const QString ext = ExtractFileExt(missingFileName);
    // On this platform "*.*" would leave out files without an extension.
    return {
        QStringLiteral("%1 (%2)").arg(name, literalPattern(name)),
        QStringLiteral("%1 (*%2)").arg(ShellTypeName(ext), literalPattern(ext)),
        QStringLiteral("All files (*)"),
    };
}

void TCheckFileForm::BrowseBtnClick(QObject*)
{
    OpenDialog->setDirectory(QFileInfo(MissingFileName).absolutePath());
    OpenDialog->selectFile(MissingFileName);
    OpenDialog->setNameFilters(OpenDialogNameFilters(MissingFileName));

    std::optional<QString> picked;
    if (browseHook()) {
        picked = browseHook()(*OpenDialog);
    } else if (OpenDialog->exec() == QDialog::Accepted) {
        const QStringList files = OpenDialog->selectedFiles();
        if (!files.isEmpty())
            picked = files.first();
    }
    if (picked && !picked->isEmpty())
        NewFileName = *picked;
    UpdateControls();
}

void TCheckFileForm::IgnoreBtnClick(QObject*)
{
    CheckResult = IgnoreResult;
    close();
}

void TCheckFileForm::IgnoreAllBtnClick(QObject*)
{
    CheckResult = IgnoreAllResult;
    close();
}

void TCheckFileForm::OkBtnClick(QObject*)
{
    if (pickedPathExists(NewFileName))
        CheckResult = ReplaceResult;
    close();
}

void TCheckFileForm::FormActivate(QObject*) { UpdateControls(); }

void TCheckFileForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    centreOnMainWindow();
    // Platforms without window activation (offscreen) still get the labels.
    FormActivate(this);
    if (answerHook()) {
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && answerHook())
                answerHook()(*this);
        });
    }
}

void TCheckFileForm::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate(this);
}

void TCheckFileForm::centreOnMainWindow()
{
    QRect around;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(widget) && widget->isVisible()) {
            around = widget->frameGeometry();
            break;
        }
    }
    if (!around.isValid()) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            around = screen->availableGeometry();
        else
            return;
    }
    move(around.center() - rect().center());
}
