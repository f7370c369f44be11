// The registry history of the user's last five answers to the wizard's yes/no
// questions: one REG_BINARY value of five bytes per question, byte 0 the
// newest answer, non-zero for yes. New projects take the majority.

#include "project/Project.h"

#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"

#include <array>

namespace {

const QString kProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");
constexpr int kAnswerCount = 5;
using Answers = std::array<std::uint8_t, kAnswerCount>;

void openProgramKey(TRegistry& registry)
{
    if (!registry.OpenKey(kProgramKey, true))
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(kProgramKey));
}

// A value that is missing or empty is a history of Default answers; a value
// shorter than five bytes is filled with no; a value of another type or a
// longer one raises "Invalid data type for '<name>'".
Answers readAnswers(TRegistry& registry, const QString& name, std::uint8_t Default)
{
    Answers answers{};
    if (registry.GetDataSize(name) <= 0)
        answers.fill(Default);
    else
        registry.ReadBinaryData(name, answers.data(), kAnswerCount);
    return answers;
}

struct ChoiceInfo {
    TProjectChoice choice;
    const char* valueName;
    std::uint8_t writeDefault;
};

// In the order of their numbers. Preview is read with yes but written with
// no as its missing history, as the program always has.
constexpr ChoiceInfo kChoices[] = {
    {TProjectChoice::CaptureJob, "CaptureJob", 1}, {TProjectChoice::RewindTape, "RewindTape", 1},
    {TProjectChoice::ShowPreview, "ShowPreview", 0}, {TProjectChoice::SplitFiles, "SplitFiles", 0},
    {TProjectChoice::Shutdown, "Shutdown", 0},
};

} // namespace

bool TTHProject::ReadChoice(const QString& Name, bool Default)
{
    TRegistry registry;
    openProgramKey(registry);
    const Answers answers = readAnswers(registry, Name, Default ? 1 : 0);
    int yes = 0;
    for (std::uint8_t answer : answers)
        yes += answer != 0 ? 1 : 0;
    return yes > kAnswerCount - yes;
}

void TTHProject::WriteChoice(const QString& Name, bool Value, std::uint8_t Default)
{
    TRegistry registry;
    openProgramKey(registry);
    Answers answers = readAnswers(registry, Name, Default);
    for (int i = kAnswerCount - 1; i > 0; --i)
        answers[i] = answers[i - 1];
    answers[0] = Value ? 1 : 0;
    registry.WriteBinaryData(Name, answers.data(), kAnswerCount);
}

void TTHProject::RememberChoices(TProjectChoices Choices) const
{
    for (const ChoiceInfo& info : kChoices) {
        if (!Choices.contains(info.choice))
            continue;
        bool value = false;
        switch (info.choice) {
        case TProjectChoice::CaptureJob: value = CaptureJob; break;
        case TProjectChoice::RewindTape: value = RewindTape; break;
        case TProjectChoice::ShowPreview: value = ShowPreview; break;
        case TProjectChoice::SplitFiles: value = SplitFiles; break;
        case TProjectChoice::Shutdown: value = Shutdown; break;
        }
        WriteChoice(QString::fromLatin1(info.valueName), value, info.writeDefault);
    }
}
