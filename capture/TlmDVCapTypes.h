#pragma once
// The enumerations and event types of the capture component TTlmDVCapture,
// apart from the component so that the project model and the wizard can name
// them. Ordinal values count from 0 in the order listed. An event is called
// only when it is assigned.

#include "platform/base/WinTypes.h"

#include <QString>

#include <functional>

class QObject;

enum TCaptureMode { cmPreview, cmDVType1, cmDVType2, cmDVType1wPreview, cmDVType2wPreview };
enum TSceneDetectionMethod { sdNone, sdSingleFile, sdMultiFiles };
enum TCaptureState { csStopped, csPaused, csRunned, csConstructed };
enum TDVResolution { dvrFull, dvrHalf, dvrQuarter, dvrDC };
enum TDVFrameRate { frFull, frHalf };
enum TDeviceMode { dmAvailable, dmRemoved, dmUnknown };

// The transport's mode as the capture component reports it.
enum TTransportState {
    tsUnknown,
    tsPlay,
    tsStop,
    tsFreeze,
    tsRew,
    tsFForw,
    tsPlayRew,
    tsPlayFwd,
    tsStillPrev,
    tsStillNext,
    tsRecord,
    tsRecordFreeze,
    tsPlaySlowRew,
    tsPlaySlowFwd,
    tsRewFastest,
    tsRevPlay
};
enum TDVDeviceType { dtUnknown, dtCamera, dtVCR };
// sfNone: inactive or no transport. PAL is 625/50, NTSC 525/60; "Long" the SDL variants.
enum TDVSignalFormat { sfNone, sfPAL, sfPALLong, sfNTSC, sfNTSCLong, sfOther };

// The recording date and time of the frame just captured.
using TOnCaptureProgress = std::function<void(BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year)>;
using TOnNewCaptureFile = std::function<void(QObject* Sender, const QString& AFileName)>;
using TOnDeviceLost = std::function<void(QObject* Sender, TDeviceMode ADeviceMode)>;
using TOnChangeCaptureMode = std::function<void(QObject* Sender, TCaptureMode ACaptureMode)>;
using TOnChangeCaptureState = std::function<void(QObject* Sender, TCaptureState ACaptureState)>;
