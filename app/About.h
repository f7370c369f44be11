#pragma once
// TAboutForm: the program's About box, made once at start-up and shown
// modally from the main window's About action. It shows the version and the
// build number from the version record of the program's own executable file.
// Main thread only.

#include <QDialog>
#include <QMap>
#include <QString>
#include <QStringList>

class QFrame;
class QLabel;
class QPushButton;

class TAboutForm : public QDialog {
    Q_OBJECT

public:
    explicit TAboutForm(QWidget* Owner);

    // Makes BetaLabel visible; run by the constructor.
    void FormCreate();
    // Fills VersionLabel and BuildLabel from the executable's version record;
    // runs at every showing.
    void FormShow();
    // Opens the home page in the web browser; the outcome is not examined.
    void Label5Click();

    QLabel* Image1 = nullptr;
    QLabel* BetaLabel = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* BuildLabel = nullptr;
    QLabel* Label5 = nullptr;
    QFrame* Bevel2 = nullptr;
    QPushButton* BitBtn1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The maker's home page that Label5 shows and opens.
QString AboutHomePage();

// The parts of a FileVersion split at every full stop: the text before each
// full stop is a part, empty ones included; the text after the last one is a
// part only when it is not empty.
QStringList SplitFileVersion(const QString& FileVersion);

struct TVersionLabels {
    QString Version;
    QString Build;
};
// What the two labels show: with four parts the first three as the version
// and the fourth as the build, otherwise ProductVersion and the whole
// FileVersion.
TVersionLabels VersionLabelsOf(const QString& FileVersion, const QString& ProductVersion);
// The same from a record's values; a record without "ProductVersion" (or no
// record at all) counts as the product version "1.0".
TVersionLabels VersionLabelsOf(const QMap<QString, QString>& Record);

// The string values of the version record of an executable file, by name.
// Empty when the file cannot be read, is not an executable of this machine's
// kind, or carries no record; a damaged record yields the values before the
// damage.
QMap<QString, QString> ReadVersionStrings(const QString& ExecutableFile);
