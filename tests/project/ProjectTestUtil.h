#pragma once
// Helpers shared by the project tests.
#include "platform/rtl/SysUtils.h"
#include "project/CheckFile.h"

#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace th::test {

// The message of the exception of type E that f raises; a marker text when
// it raises nothing.
template <class E = Exception, class F>
QString raisedMessage(F&& f)
{
    try {
        std::forward<F>(f)();
    } catch (const E& e) {
        return e.Message();
    }
    return QStringLiteral("<nothing raised>");
}

inline void writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(path.left(path.lastIndexOf(u'/')));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + path.toStdString());
    file.write(data);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Answers every missing-file dialog shown while it lives with the next
// function of a script, and records what each dialog asked about. A dialog
// beyond the script is answered with Ignore All, so a faulty check cannot
// hang a test.
class DialogScript {
public:
    using Answer = std::function<void(TCheckFileForm&)>;

    explicit DialogScript(std::vector<Answer> answers = {})
        : answers_(std::move(answers))
    {
        TCheckFileForm::SetAnswerHook([this](TCheckFileForm& form) {
            asked.append(form.MissingFileName);
            if (static_cast<size_t>(asked.size()) <= answers_.size())
                answers_[asked.size() - 1](form);
            else
                form.IgnoreAllBtn->click();
        });
    }
    ~DialogScript()
    {
        TCheckFileForm::SetAnswerHook({});
        TCheckFileForm::SetBrowseHook({});
    }
    DialogScript(const DialogScript&) = delete;
    DialogScript& operator=(const DialogScript&) = delete;

    QStringList asked; // MissingFileName of each dialog, in order

private:
    std::vector<Answer> answers_;
};

// Answers: pick a file through Browse, then press OK.
inline DialogScript::Answer pickAndOk(const QString& path)
{
    return [path](TCheckFileForm& form) {
        TCheckFileForm::SetBrowseHook([path](QFileDialog&) { return std::optional<QString>(path); });
        form.BrowseBtn->click();
        TCheckFileForm::SetBrowseHook({});
        form.OkBtn->click();
    };
}
inline DialogScript::Answer pressIgnore()
{
    return [](TCheckFileForm& form) { form.IgnoreBtn->click(); };
}
inline DialogScript::Answer pressIgnoreAll()
{
    return [](TCheckFileForm& form) { form.IgnoreAllBtn->click(); };
}
inline DialogScript::Answer closeBox()
{
    return [](TCheckFileForm& form) { form.close(); };
}

} // namespace th::test
