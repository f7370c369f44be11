// The Begin Work page: the summary sentence, the time estimate and the
// shutdown option, rebuilt from the project at every showing.
#include "SetupFixture.h"

namespace {

struct Summary {
    TTapeOption option;
    TTimecode start, end;
    bool split;
    std::uint8_t type;
    const char* sentence;
    const char* estimate;
    bool shutdownEnabled;
};

const char* const kNoEstimate = "TapeHarvest cannot calculate the time needed to complete the project.";

} // namespace

class BeginWork : public SetupFixture {
protected:
    TTHProject& Project(const Summary& s)
    {
        TTHProject& p = form->FProject ? *form->FProject : NewProject();
        p.SetCaptureJob(true);
        p.SetTapeOption(s.option);
        p.SetStartTime(s.start);
        p.SetEndTime(s.end);
        p.SetSplitFiles(s.split);
        p.SetFileType(s.type);
        return p;
    }
    QString Sentence() const { return form->JobsListLabel->text(); }
    QString Estimate() const { return form->StartWorkTimeLabel->text(); }
};

TEST_F(BeginWork, TheSummaryNamesTheRangeTheFilesAndTheType)
{
    const TTimecode zero = MakeTimecode(0, 0, 0, 0);
    const Summary cases[] = {
        {toXtoN, zero, MakeTimecode(0, 25, 0, 0), false, 1,
         "\u2022 Capture from 00:00:00:00 to 00:25:00:00 and write video to the single file in the DV AVI type-2 "
         "format.",
         "TapeHarvest can take approximately more than 25 min. to complete all selected tasks.", true},
        {toManual, zero, zero, true, 0,
         "\u2022 Manual capture from a DV device and write video to multiple files in the DV AVI type-1 format.",
         kNoEstimate, false},
        {toNtoX, MakeTimecode(0, 12, 34, 5), zero, false, 0,
         "\u2022 Capture from 00:12:34:05 to the end of record and write video to the single file in the DV AVI "
         "type-1 format.",
         kNoEstimate, true},
        {toBtoE, zero, zero, true, 1,
         "\u2022 Capture whole tape from the begin to the end and write video to multiple files in the DV AVI type-2 "
         "format.",
         kNoEstimate, true},
        {toXtoX, MakeTimecode(1, 2, 3, 4), MakeTimecode(1, 3, 33, 4), false, 1,
         "\u2022 Capture from 01:02:03:04 to 01:03:33:04 and write video to the single file in the DV AVI type-2 "
         "format.",
         "TapeHarvest can take approximately more than 1 min. to complete all selected tasks.", true},
        // An interval that ends before it starts cannot be estimated.
        {toXtoX, MakeTimecode(0, 5, 0, 0), MakeTimecode(0, 4, 0, 0), false, 1,
         "\u2022 Capture from 00:05:00:00 to 00:04:00:00 and write video to the single file in the DV AVI type-2 "
         "format.",
         kNoEstimate, true},
        // Values no choice names keep the sentence going.
        {TTapeOption(9), zero, zero, false, 5, "\u2022 Capture and write video to the single file ", kNoEstimate, true},
    };
    for (const Summary& s : cases) {
        SCOPED_TRACE(s.sentence);
        TTHProject& p = Project(s);
        p.SetShutdown(!s.shutdownEnabled); // what the box shows is the project's flag
        form->StartWorkTabShow();
        EXPECT_EQ(Sentence(), QString::fromUtf8(s.sentence));
        EXPECT_EQ(Estimate(), QString::fromUtf8(s.estimate));
        EXPECT_EQ(form->ShutdownJob->isEnabled(), s.shutdownEnabled);
        EXPECT_EQ(form->ShutdownJobCheckBox->isEnabled(), s.shutdownEnabled);
        EXPECT_EQ(form->ShutdownJobCheckBox->isChecked(), p.Shutdown);
    }
    EXPECT_EQ(form->TitleLabel->text(), QStringLiteral("Ready to start work"));
    EXPECT_TRUE(form->DescriptionLabel->text().startsWith(
        QStringLiteral("Now TapeHarvest is configured and ready to start work. We are strongly recommend")));
}

TEST_F(BeginWork, WithoutTheCaptureJobThereIsNothingToSumUp)
{
    TTHProject& p = Project({toXtoN, {}, MakeTimecode(0, 25, 0, 0), false, 1, "", "", true});
    form->StartWorkTabShow();
    EXPECT_FALSE(Sentence().isEmpty());
    EXPECT_TRUE(form->ShutdownJob->isEnabled());

    p.SetCaptureJob(false);
    form->StartWorkTabShow();
    EXPECT_TRUE(Sentence().isEmpty());
    EXPECT_EQ(Estimate(), QString::fromUtf8(kNoEstimate));
    EXPECT_FALSE(form->ShutdownJob->isEnabled());
}

TEST_F(BeginWork, TheShutdownChoiceIsStoredAndShownAgain)
{
    TTHProject& p = Project({toBtoE, {}, {}, false, 1, "", "", true});
    p.SetShutdown(false);
    form->StartWorkTabShow();
    ASSERT_TRUE(form->ShutdownJobCheckBox->isEnabled());
    EXPECT_EQ(form->ShutdownJobCheckBox->text(), QStringLiteral("Shutdown the PC after finished."));

    form->ShutdownJobCheckBox->click();
    EXPECT_TRUE(p.Shutdown);
    EXPECT_TRUE(p.ShutdownChoice);
    form->StartWorkTabShow();
    EXPECT_TRUE(form->ShutdownJobCheckBox->isChecked());

    form->ShutdownJobCheckBox->click();
    EXPECT_FALSE(p.Shutdown);
    EXPECT_FALSE(p.ShutdownChoice);

    // Manual capture clears the saved flag but not the choice of this run.
    form->ShutdownJobCheckBox->click();
    p.SetTapeOption(toManual);
    form->StartWorkTabShow();
    EXPECT_FALSE(form->ShutdownJobCheckBox->isEnabled());
    EXPECT_FALSE(form->ShutdownJobCheckBox->isChecked());
    EXPECT_TRUE(p.ShutdownChoice);
}

TEST_F(BeginWork, WithoutAProjectTheSummaryIsEmpty)
{
    Project({toBtoE, {}, {}, false, 1, "", "", true});
    form->StartWorkTabShow();
    form->FProject.reset();
    form->StartWorkTabShow();
    EXPECT_TRUE(Sentence().isEmpty());
}
