#pragma once
// Modal dialogs the way the wizard asks its questions: message dialogs with
// standard or custom buttons, and every other modal dialog (file dialogs,
// Preferences, Delete Project, About) run through one call, ExecModal, which
// a test can take over to answer the dialog. Main thread only.

#include <QString>

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

class QDialog;
class QFileDialog;
class QWidget;

// Results of modal dialogs.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5, mrYes = 6, mrNo = 7 };

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum class TMsgDlgBtn { mbYes, mbNo, mbOK, mbCancel };

// A message dialog centred on the screen with the type's icon and title and
// the given buttons; Default is the default button, Escape answers Cancel
// (or the only button). The result is the pressed button's TModalResult.
int MessageDlg(const QString& Msg, TMsgDlgType Type, std::initializer_list<TMsgDlgBtn> Buttons,
               TMsgDlgBtn Default);
// The same with buttons of its own: each caption with the result it gives.
// Escape or closing the dialog gives EscapeResult.
int MessageDlgCustom(const QString& Msg, TMsgDlgType Type, const std::vector<std::pair<QString, int>>& Buttons,
                     int DefaultResult, int EscapeResult);

// Runs Dialog modally and returns its result: QDialog::Accepted (1, which
// is also mrOk) or Rejected (0), or what the dialog passed to done(). With a hook installed the
// dialog is shown without a modal loop, the hook answers it (it may fill in
// the dialog, press its buttons, or just return a result), and the dialog is
// closed with the hook's result unless the hook closed it already.
int ExecModal(QDialog& Dialog);

// A file dialog of the program's own kind, owned by Parent, that opens at
// StartFolder, and never first reads the folder an earlier dialog left in
// Qt's settings (which it writes for that); a start folder that is
// gone is replaced by its nearest existing parent, and one on a pseudo file
// system (/proc, /sys...), where merely looking at a file can block, by the
// home folder.
QFileDialog* NewFileDialog(QWidget* Parent, const char* Name, const QString& Caption, const QString& StartFolder);

// Test seam, process-wide; an empty function removes the hook. A message
// dialog reaching the hook is a QMessageBox named "MessageDlg".
using TModalHook = std::function<int(QDialog&)>;
void SetModalHook(TModalHook Hook);
bool HasModalHook();
