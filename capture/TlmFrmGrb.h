#pragma once
// One frame of a video file as a bitmap of a chosen size, through the
// platform's media detector. The grabber keeps the last file open with its
// video stream selected, so that many frames of one file cost one opening.
// Main thread only.

#include "platform/com/Com.h"
#include "platform/dshow/ExtInterfaces.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <cstdint>

class TTlmFramesGrabber : public QObject {
public:
    // Raises EExternalException when the media detector cannot be created.
    explicit TTlmFramesGrabber(QObject* Owner = nullptr);
    ~TTlmFramesGrabber() override;

    // Replaces Bitmap's picture with frame Frame of FileName, scaled to
    // BitmapWidth x BitmapHeight. False only without a media detector. A file
    // that cannot be opened or has no such frame raises EExternalException
    // ("External exception %x") and leaves Bitmap as it was.
    bool GrabFrame(const QString& FileName, QImage& Bitmap, std::int64_t Frame);
    // The picture at StreamTime seconds of the open file's current stream.
    bool GetBitmap(QImage& Bitmap, double StreamTime);
    // Frame / frame rate of the selected stream; 0 while no rate is known.
    double FrameToTime(std::int64_t Frame) const;
    // Makes the first stream of MajorType current, unless one is selected already.
    void SelectStream(const GUID& MajorType);

    // The file the media detector has open; empty when none.
    QString GetFileName() const;
    // Opens Name unless it is the open file; another file gets a fresh
    // detector first. A file that cannot be opened leaves none open.
    void SetFileName(const QString& Name);

    int BitmapWidth = 0;
    int BitmapHeight = 0;

    void CreateMediaDet();
    void ReleaseMediaDet();
    void RecreateMediaDet();

    // The detector in use, and the selected stream (-1 while none is).
    IMediaDet* MediaDet() const { return FMediaDet.Get(); }
    int StreamIndex() const { return FStreamIndex; }
    double FrameRate() const { return FFrameRate; }

private:
    ComPtr<IMediaDet> FMediaDet;
    QString FFileName;
    double FFrameRate = 0;
    int FStreamIndex = -1;
};
