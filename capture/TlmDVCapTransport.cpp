// The tape transport, the device type, the signal format, the time code, and
// the seek to a time code by an absolute track number sent as a raw AV/C
// command.
#include "capture/TlmDVCap.h"
#include "platform/dv/FireWireDiagnosis.h"

#include <cstring>

namespace {

// ERROR_REQUEST_ABORTED, answered as a plain number by the device.
constexpr HRESULT kRequestAborted = 1235;

// The largest track number the command's three operand bytes can carry.
constexpr std::int64_t kMaxTrackNumber = 0xFFFFFF;

BYTE BcdByte(DWORD value)
{
    return BYTE(((value >> 4) & 0xF) * 10 + (value & 0xF));
}

bool IsPal(TDVSignalFormat f)
{
    return f == sfPAL || f == sfPALLong;
}

bool IsNtsc(TDVSignalFormat f)
{
    return f == sfNTSC || f == sfNTSCLong;
}

} // namespace

HRESULT TTlmDVCapture::SetTransportMode(LONG Mode)
{
    if (!FTransport)
        return S_FALSE;
    return FTransport->put_Mode(Mode);
}

bool TTlmDVCapture::TransportPlay()
{
    return SetTransportMode(ED_MODE_PLAY) == S_OK;
}

bool TTlmDVCapture::TransportStop()
{
    return SetTransportMode(ED_MODE_STOP) == S_OK;
}

bool TTlmDVCapture::TransportPause()
{
    return SetTransportMode(ED_MODE_FREEZE) == S_OK;
}

bool TTlmDVCapture::TransportStillNext()
{
    return SetTransportMode(ED_MODE_STEP_FWD) == S_OK;
}

bool TTlmDVCapture::TransportStillPrev()
{
    return SetTransportMode(ED_MODE_STEP_REV) == S_OK;
}

bool TTlmDVCapture::TransportPlayRew()
{
    return SetTransportMode(ED_MODE_PLAY_FASTEST_REV) == S_OK;
}

bool TTlmDVCapture::TransportPlayFwd()
{
    return SetTransportMode(ED_MODE_PLAY_FASTEST_FWD) == S_OK;
}

bool TTlmDVCapture::TransportRew()
{
    return SetTransportMode(ED_MODE_REW) == S_OK;
}

bool TTlmDVCapture::TransportFForw()
{
    return SetTransportMode(ED_MODE_FF) == S_OK;
}

HRESULT TTlmDVCapture::GetTransportMode(LONG& Mode)
{
    if (!FTransport)
        return S_FALSE;
    return FTransport->get_Mode(&Mode);
}

TTransportState TTlmDVCapture::GetTransportState()
{
    LONG mode = 0;
    if (GetTransportMode(mode) != S_OK)
        return tsUnknown;
    switch (mode) {
    case ED_MODE_PLAY:
        return tsPlay;
    case ED_MODE_STOP:
        return tsStop;
    case ED_MODE_FREEZE:
        return tsFreeze;
    case ED_MODE_REW:
        return tsRew;
    case ED_MODE_FF:
        return tsFForw;
    case ED_MODE_PLAY_FASTEST_REV:
        return tsPlayRew;
    case ED_MODE_PLAY_FASTEST_FWD:
        return tsPlayFwd;
    case ED_MODE_STEP_REV:
        return tsStillPrev;
    case ED_MODE_STEP_FWD:
        return tsStillNext;
    case ED_MODE_RECORD:
        return tsRecord;
    case ED_MODE_RECORD_FREEZE:
        return tsRecordFreeze;
    case ED_MODE_PLAY_SLOWEST_REV:
        return tsPlaySlowRew;
    case ED_MODE_PLAY_SLOWEST_FWD:
        return tsPlaySlowFwd;
    case ED_MODE_REW_FASTEST:
        return tsRewFastest;
    case ED_MODE_REV_PLAY:
        return tsRevPlay;
    default:
        return tsUnknown;
    }
}

QString TTlmDVCapture::NoDeviceExplanation() const
{
    return QString::fromStdString(th::dv::noDeviceExplanation());
}

TDVDeviceType TTlmDVCapture::GetDeviceType()
{
    if (!Active() || !FExtDevice)
        return dtUnknown;
    LONG value = 0;
    FExtDevice->GetCapability(ED_DEVCAP_DEVICE_TYPE, &value, nullptr);
    if (value == ED_DEVTYPE_VCR)
        return dtVCR;
    if (value == ED_DEVTYPE_CAMERA)
        return dtCamera;
    return dtUnknown;
}

TDVSignalFormat TTlmDVCapture::GetSignalFormat()
{
    if (!Active() || !FTransport)
        return sfNone;
    LONG value = 0;
    if (FAILED(FTransport->GetTransportBasicParameters(ED_TRANSBASIC_INPUT_SIGNAL, &value, nullptr)))
        return sfOther;
    switch (value) {
    case ED_TRANSBASIC_SIGNAL_525_60_SD:
        return sfNTSC;
    case ED_TRANSBASIC_SIGNAL_525_60_SDL:
        return sfNTSCLong;
    case ED_TRANSBASIC_SIGNAL_625_50_SD:
        return sfPAL;
    case ED_TRANSBASIC_SIGNAL_625_50_SDL:
        return sfPALLong;
    default:
        return sfOther;
    }
}

int TTlmDVCapture::FrameRate() const
{
    return IsNtsc(FSignalFormat) ? 30 : 25;
}

bool TTlmDVCapture::ReadTimecode(TTimecode& TC)
{
    TC = MakeTimecode(0, 0, 0, 0);
    if (!Active() || !FTimecodeReader)
        return false;
    TIMECODE_SAMPLE sample{};
    sample.dwFlags = ED_DEVCAP_TIMECODE_READ;
    sample.timecode.dwFrames = 0;
    if (FAILED(FTimecodeReader->GetTimecode(&sample)))
        return false;
    const DWORD v = sample.timecode.dwFrames;
    TC = MakeTimecode(BcdByte(v >> 24), BcdByte(v >> 16), BcdByte(v >> 8), BcdByte(v));
    return true;
}

bool TTlmDVCapture::GetTimecode(TTimecode& TC)
{
    if (ReadTimecode(TC))
        return true;
    if (SUCCEEDED(SetTransportMode(ED_MODE_STEP_FWD)))
        SetTransportMode(ED_MODE_STEP_REV);
    if (ReadTimecode(TC))
        return true;
    SetTransportMode(ED_MODE_FREEZE);
    return ReadTimecode(TC);
}

std::int64_t TTlmDVCapture::TrackNumber(TTimecode TC, TDVSignalFormat Format)
{
    const std::int64_t minutes = std::int64_t(TC.Hours) * 60 + TC.Minutes;
    const std::int64_t frame = std::int64_t(TC.Frames) + 1;
    if (IsPal(Format))
        return ((minutes * 60 + TC.Seconds) * 25 + frame) * 24;
    // Drop-frame counting: 2 frames for every minute that is not a tenth,
    // taken as 1.8 per minute; 20 tracks a frame.
    return 20 * ((minutes * 60 + TC.Seconds) * 30 + frame) - 36 * minutes;
}

bool TTlmDVCapture::SeekATN(TTimecode TC)
{
    if (GetDeviceType() != dtVCR)
        return false;
    BYTE command[8] = {0x00, 0x20, 0x52, 0x20, 0xFF, 0xFF, 0xFF, 0xFF};
    LONG length = sizeof command;
    if (IsPal(FSignalFormat) && TC.Frames > 24)
        throw Exception("Frame should be from 0 to 24 for PAL");
    if (IsNtsc(FSignalFormat) && TC.Frames > 29)
        throw Exception("Frame should be from 0 to 29 for NTSC");
    if (!Active())
        return false;
    if (TC.Hours > 23 || TC.Minutes > 59 || TC.Seconds > 59)
        throw Exception("Invalid Parameter - Time entered should be:\r\nHour:Minute:Second:Frame");
    const std::int64_t track = TrackNumber(TC, FSignalFormat);
    if (track > kMaxTrackNumber)
        throw Exception(QString::asprintf("The time code %.2d:%.2d:%.2d:%.2d lies beyond the last absolute track "
                                          "number a seek can name (%lld)",
                                          TC.Hours, TC.Minutes, TC.Seconds, TC.Frames, (long long)kMaxTrackNumber));
    command[4] = BYTE(track);
    command[5] = BYTE(track >> 8);
    command[6] = BYTE(track >> 16);
    if (GetTransportState() != tsStop)
        TransportStop();
    if (!FTransport)
        return false;
    const HRESULT hr = FTransport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                              reinterpret_cast<LPOLESTR*>(command));
    if (hr == kRequestAborted)
        throw Exception("ATN Seek returns ERROR REQUEST ABORTED");
    return true;
}
