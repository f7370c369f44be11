// The capture run: Start and Stop, the per-frame callback that reads the
// recording date and time of every DV frame and splits the recording into
// scenes, the scene file of a one-file capture, the switch of files per scene,
// and the frame counts.
#include "capture/TlmDVCap.h"

#include "platform/dv/DifPacks.h"
#include "platform/rtl/DateUtils.h"
#include "platform/rtl/SysUtils.h"

#include <QFile>

#include <algorithm>

namespace {

LPCWSTR Wide(const QString& s)
{
    return reinterpret_cast<LPCWSTR>(s.utf16());
}

// Frames shorter than one DIF sequence carry no recording date.
constexpr int kMinFrameBytes = 12000;

// The data bytes of the recording-date and recording-time packs in the video
// auxiliary data of the first DIF sequence.
constexpr int kDayByte = 460;
constexpr int kMonthByte = 461;
constexpr int kYearByte = 462;
constexpr int kSecByte = 465;
constexpr int kMinByte = 466;
constexpr int kHourByte = 467;

BYTE Bcd(BYTE value, BYTE tensMask)
{
    return BYTE(((value >> 4) & tensMask) * 10 + (value & 0x0F));
}

void AddTextElement(QDomDocument& doc, QDomElement& parent, const QString& name, const QString& text)
{
    QDomElement element = doc.createElement(name);
    element.appendChild(doc.createTextNode(text));
    parent.appendChild(element);
}

// The `end` of a scene; set again (not added twice) when a failed save of the
// scene file is retried by a later Stop.
void SetSceneEnd(QDomDocument& doc, QDomElement& scene, int end)
{
    QDomElement old = scene.firstChildElement("end");
    if (!old.isNull())
        scene.removeChild(old);
    AddTextElement(doc, scene, "end", QString::number(end));
}

// The Win32 code inside an HRESULT_FROM_WIN32 value; 0 for other results.
DWORD Win32Code(HRESULT hr)
{
    return (static_cast<quint32>(hr) & 0xFFFF0000u) == 0x80070000u ? DWORD(hr & 0xFFFF) : DWORD(0);
}

} // namespace

void TTlmDVCapture::DecodeRecordingDateTime(const BYTE* Buffer, int Len, BYTE& Day, BYTE& Month, BYTE& Hour,
                                            BYTE& Min, BYTE& Sec, int& Year)
{
    if (!Buffer || Len < kMinFrameBytes) {
        Day = Month = Hour = Min = Sec = 0;
        Year = 0;
        return;
    }
    Day = Bcd(Buffer[kDayByte], 0x3);
    Month = Bcd(Buffer[kMonthByte], 0x1);
    const int yy = Bcd(Buffer[kYearByte], 0xF);
    Year = th::dif::fullYearFromTwoDigits(yy);
    Sec = Bcd(Buffer[kSecByte], 0x7);
    Min = Bcd(Buffer[kMinByte], 0x7);
    Hour = Bcd(Buffer[kHourByte], 0x3);
}

QString TTlmDVCapture::SceneFileName(BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year) const
{
    return FBaseName + QString::asprintf(" %.4d%.2d%.2d-%.2d.%.2d.%.2d", Year, Month, Day, Hour, Min, Sec) + FFileExt;
}

QString TTlmDVCapture::UndatedFileName() const
{
    return FBaseName + " undated" + FFileExt;
}

void TTlmDVCapture::DVFrameReceived(BYTE* Buffer, LONG Len, LONGLONG Start, LONGLONG)
{
    if (!Active())
        return;
    BYTE day, month, hour, min, sec;
    int year;
    DecodeRecordingDateTime(Buffer, Len, day, month, hour, min, sec, year);

    const TSceneDetectionMethod detection = SceneDetection();
    // A new scene: its own file, or its entry in the scene file; its picture,
    // with the date of the scene (none for undated frames).
    const auto newScene = [&](const QString& fileName, const QString& sceneName, bool dated) {
        const auto arm = [&] {
            if (!OnNewScene)
                return;
            if (dated)
                FPictureCB->Arm(day, month, Start, hour, min, sec, year);
            else
                FPictureCB->Arm(0, 0, Start, 0, 0, 0, 0);
        };
        try {
            if (detection == sdMultiFiles) {
                // A file of an earlier scene of the same second (a clock set
                // back, an earlier run) stays; this one goes beside it.
                SwitchCaptureFile(FreeFileName(fileName), Start);
                arm();
            } else if (detection == sdSingleFile && FSceneDocument && !FScenesNode.isNull()) {
                int dropped = 0, notDropped = 0;
                GetFrameCounts(dropped, notDropped);
                // The device counts a frame before it passes it on, so the
                // frame in hand is counted: its number is the count before it.
                FSceneStart = std::max(0, dropped + notDropped - 1);
                if (!FCurrentScene.isNull())
                    SetSceneEnd(*FSceneDocument, FCurrentScene, FSceneStart - 1);
                QDomElement scene = FSceneDocument->createElement("scene");
                FScenesNode.appendChild(scene);
                FCurrentScene = scene;
                AddTextElement(*FSceneDocument, scene, "start", QString::number(FSceneStart));
                AddTextElement(*FSceneDocument, scene, "name", sceneName);
                AddTextElement(*FSceneDocument, scene, "datetime", sceneName);
                // Saved at once, so that a capture that never stops (a kill,
                // a power loss) still leaves the scenes it found.
                try {
                    SaveSceneDocument();
                } catch (const std::exception&) {
                    // Stop saves it again and reports a failure.
                }
                arm();
            }
        } catch (...) {
            // A failed switch must not stop the capture or its progress.
        }
    };
    TDateTime recorded;
    if (detection != sdNone && TryEncodeDateTime(year, month, day, hour, min, sec, 0, recorded)) {
        const TDateTime limit = IncMilliSecond(FLastRecordTime, 1500) - FLastRecordTime;
        const bool continues =
            FLastRecordTime != 0 && recorded >= FLastRecordTime && recorded - FLastRecordTime <= limit;
        if (!continues)
            newScene(SceneFileName(day, month, hour, min, sec, year),
                     QString::asprintf("%.4d.%.2d.%.2d %.2d:%.2d:%.2d", year, month, day, hour, min, sec), true);
        FLastRecordTime = recorded;
    } else if (detection != sdNone && FLastRecordTime == 0 && !FUndatedScene) {
        // Frames without a date (a camcorder whose clock was never set, a
        // blank date pack) before the first dated one are a scene of their
        // own, so that none of them is lost. Later ones stay in the scene
        // they come in.
        FUndatedScene = true;
        newScene(UndatedFileName(), QStringLiteral("undated"), false);
    }
    if (OnCaptureProgress)
        OnCaptureProgress(day, month, hour, min, sec, year);
}

QString TTlmDVCapture::CurrentSinkFile()
{
    LPOLESTR name = nullptr;
    CheckHResult(FFileSink->GetCurFile(&name, nullptr));
    const QString result = name ? QString::fromUtf16(name) : QString();
    CoTaskMemFree(name);
    return result;
}

void TTlmDVCapture::SwitchCaptureFile(const QString& Name, std::int64_t Time)
{
    if (!Active() || !FFileSink || CaptureMode() == cmPreview)
        return;
    if (Time != -1 && FFileSwitcher) {
        const QString old = CurrentSinkFile();
        CheckHResult(FFileSwitcher->ChangeFileName(Wide(Name), Time));
        // A file the writer could not create is its write error, not a capture file.
        if (ExtractFileExt(old) != ".tmp" && FileExists(old) && OnNewCaptureFile)
            OnNewCaptureFile(this, old);
    } else {
        CheckFileResult(FFileSink->SetFileName(Wide(Name), nullptr), Name);
    }
}

void TTlmDVCapture::SetFileName(const QString& Value)
{
    if (Value == FFileName)
        return;
    FFileName = Value;
    FFileExt = ExtractFileExt(Value);
    FBaseName = Value.left(Value.size() - FFileExt.size());
    // The scene file of an earlier capture into this name stays: the name
    // alone rewrites nothing, a one-file capture into it does (Start).
    SwitchCaptureFile(Value, -1);
}

void TTlmDVCapture::GetFrameCounts(int& Dropped, int& NotDropped)
{
    const TCaptureState state = GetCaptureState();
    if (state != csRunned && state != csPaused)
        return;
    LONG value = 0;
    if (FDroppedFrames && FDroppedFrames->GetNumDropped(&value) == S_OK) {
        Dropped = value;
        FDroppedCache = value;
    } else {
        Dropped = int(FDroppedCache.load());
    }
    value = 0;
    if (FDroppedFrames && FDroppedFrames->GetNumNotDropped(&value) == S_OK) {
        NotDropped = value;
        FNotDroppedCache = value;
    } else {
        NotDropped = int(FNotDroppedCache.load());
    }
}

void TTlmDVCapture::LastFrameCounts(int& Dropped, int& NotDropped) const
{
    Dropped = FLastDropped;
    NotDropped = FLastNotDropped;
}

std::int64_t TTlmDVCapture::CountFramesWritten()
{
    // The File Writer of a one-file graph writes bytes: its mux counts the frames.
    ComPtr<IFileWriteStatus> status;
    LONGLONG frames = 0;
    if (FFileSink && SUCCEEDED(FFileSink.As(&status)) && status && status->GetFramesWritten(&frames) == S_OK)
        return frames;
    if (FMuxStatus && FMuxStatus->GetFramesWritten(&frames) == S_OK)
        return frames;
    return -1;
}

QString TTlmDVCapture::WriteFailure(const QString& Shown)
{
    if (!FFileSink)
        return {};
    ComPtr<IFileWriteStatus> status;
    if (FAILED(FFileSink.As(&status)) || !status)
        return {};
    HRESULT error = S_OK;
    LPOLESTR text = nullptr;
    if (FAILED(status->GetWriteError(&error, &text)))
        return {};
    const QString detail = text ? QString::fromUtf16(text) : QString();
    CoTaskMemFree(text);
    if (SUCCEEDED(error))
        return {};
    QString file = Shown;
    try {
        if (file.isEmpty())
            file = CurrentSinkFile();
    } catch (const std::exception&) {
    }
    return FileErrorText(file, Win32Code(error), detail);
}

void TTlmDVCapture::CheckFileResult(HRESULT Result, const QString& Name, const QString& Shown)
{
    if (SUCCEEDED(Result))
        return;
    const QString failure = WriteFailure(Shown);
    throw Exception(failure.isEmpty() ? FileErrorText(Name, Win32Code(Result)) : failure);
}

void TTlmDVCapture::WriteFailed()
{
    // Other aborts (a refused media type) stay with the graph, as before.
    if (GetCaptureState() != csRunned || CaptureMode() == cmPreview || WriteFailure().isEmpty())
        return;
    // As when the device goes: the capture page stops the capture, which
    // keeps what was written and raises the failure in words.
    if (OnDeviceLost)
        OnDeviceLost(this, dmRemoved);
    if (GetCaptureState() == csRunned)
        Stop();
}

void TTlmDVCapture::EndScenesAtFileEnd()
{
    // A write that failed (a full disk) cut the file back to its last whole
    // frame: the scenes end where the file does, not where the device's
    // counts have got to, and a scene that began after it is not in the file.
    const std::int64_t written = FFramesWritten;
    if (written < 0 || written >= FSceneStart)
        return;
    QDomElement scene = FScenesNode.lastChildElement("scene");
    while (!scene.isNull() && scene.firstChildElement("start").text().toLongLong() >= written) {
        QDomElement previous = scene.previousSiblingElement("scene");
        FScenesNode.removeChild(scene);
        scene = previous;
    }
    FCurrentScene = scene;
    FSceneStart = int(written);
    if (!scene.isNull())
        SetSceneEnd(*FSceneDocument, scene, FSceneStart);
}

void TTlmDVCapture::SaveSceneDocument()
{
    SaveFileSafely(ChangeFileExt(FFileName, ".thf"), FSceneDocument->toByteArray(-1));
}

void TTlmDVCapture::Start()
{
    if (!FMediaControl || !Active() || FCaptureState == csRunned)
        return;
    if (FCaptureState == csStopped) {
        FSceneStart = 0;
        if (SceneDetection() == sdSingleFile && CaptureMode() != cmPreview) {
            // The capture file is written anew: the scenes of what it held are gone.
            const QString sceneFile = ChangeFileExt(FFileName, ".thf");
            if (FileExists(sceneFile))
                QFile::remove(sceneFile);
            FCurrentScene = {};
            FScenesNode = {};
            FLastRecordTime = 0;
            FSceneDocument = std::make_unique<QDomDocument>();
            QDomDocument& doc = *FSceneDocument;
            doc.appendChild(doc.createProcessingInstruction("xml", "version=\"1.0\""));
            QDomElement video = doc.createElement("video");
            doc.appendChild(video);
            QDomElement info = doc.createElement("info");
            video.appendChild(info);
            AddTextElement(doc, info, "programm", "Tolmar TapeHarvest");
            AddTextElement(doc, info, "filever", "1.00");
            AddTextElement(doc, info, "created", FormatDateTime("yyyy-mm-dd hh-nn-ss", Now()));
            FScenesNode = doc.createElement("scenes");
            video.appendChild(FScenesNode);
        }
        // After a capture with one file per scene the writer still names the
        // last scene file, which a new run would open again and truncate; it
        // starts in the temporary file again instead.
        if (FFileSwitcher && FFileSink && CaptureMode() != cmPreview) {
            const QString temporary = ChangeFileExt(FFileName, ".tmp");
            // The user knows the capture file by its own name, not the temporary one.
            CheckFileResult(FFileSink->SetFileName(Wide(temporary), nullptr), temporary, FFileName);
        }
        FPictureCB->Disarm();
        FLastDropped = FLastNotDropped = 0;
    }
    FCaptureState = csRunned;
    FFramesWritten = -1;
    FLastRecordTime = 0;
    FUndatedScene = false;
    FFrameCB->SetEnabled(true);
    if (const HRESULT hr = FMediaControl->Run(); FAILED(hr)) {
        // A file that cannot be created: nothing was captured, and the
        // component is left stopped, so that neither Stop nor a deactivation
        // raises again.
        const QString failure = WriteFailure();
        {
            // Part of the graph may be streaming already: the frame handler
            // reads the scene document under this lock.
            std::lock_guard<TCriticalSection> guard(FCaptureLock);
            FFrameCB->SetEnabled(false);
            FSceneDocument.reset();
            FScenesNode = {};
            FCurrentScene = {};
        }
        try {
            Stop();
        } catch (const std::exception&) {
        }
        FCaptureState = csStopped;
        if (!failure.isEmpty())
            throw Exception(failure);
        CheckHResult(hr);
    }
    if (OnChangeCaptureState)
        OnChangeCaptureState(this, csRunned);
}

void TTlmDVCapture::Stop()
{
    if (!FMediaControl || FCaptureState == csStopped)
        return;
    // Every step runs whatever failed before it: the graph stops and the files
    // are finished and reported before the scene file is saved, and the first
    // failure is raised after all of them.
    QString failure;
    HRESULT failedCall = S_OK;
    {
        std::lock_guard<TCriticalSection> guard(FCaptureLock);
        FFrameCB->SetEnabled(false);
        failedCall = FMediaControl->Pause();
        // The device's run is over: these counts are final, and the files hold them.
        GetFrameCounts(FLastDropped, FLastNotDropped);
        if (FSceneDocument && !FCurrentScene.isNull()) {
            int dropped = 0, notDropped = 0;
            GetFrameCounts(dropped, notDropped);
            FSceneStart = dropped + notDropped;
            SetSceneEnd(*FSceneDocument, FCurrentScene, FSceneStart);
        }
        FCaptureState = csStopped;
        QString last;
        if (FFileSwitcher && CaptureMode() != cmPreview) {
            try {
                last = CurrentSinkFile();
            } catch (const std::exception&) {
            }
        }
        // The writer closes its file here.
        if (const HRESULT hr = FMediaControl->Stop(); FAILED(hr) && SUCCEEDED(failedCall))
            failedCall = hr;
        failure = WriteFailure();
        FFramesWritten = CountFramesWritten();
        if (FSceneDocument && !FCurrentScene.isNull())
            EndScenesAtFileEnd();
        if (!last.isEmpty() && ExtractFileExt(last) != ".tmp" && FileExists(last) && OnNewCaptureFile)
            OnNewCaptureFile(this, last);
        if (FSceneDocument) {
            try {
                SaveSceneDocument();
            } catch (const Exception& e) {
                if (failure.isEmpty())
                    failure = e.Message();
            }
            FSceneDocument.reset();
            FScenesNode = {};
            FCurrentScene = {};
            if (FileExists(FFileName) && OnNewCaptureFile)
                OnNewCaptureFile(this, FFileName);
        }
        const QString temporary = ChangeFileExt(FFileName, ".tmp");
        if (FileExists(temporary))
            QFile::remove(temporary);
        FDroppedCache = 0;
        FNotDroppedCache = 0;
        if (OnChangeCaptureState)
            OnChangeCaptureState(this, csStopped);
    }
    if (!failure.isEmpty())
        throw Exception(failure);
    CheckHResult(failedCall);
}
