// The settings of the live preview: the decoding size, every or every second
// frame, and the volume with mute. They act on the preview branch only.
#include "capture/TlmDVCap.h"

namespace {

int DecoderResolution(TDVResolution r)
{
    switch (r) {
    case dvrHalf:
        return DVRESOLUTION_HALF;
    case dvrQuarter:
        return DVRESOLUTION_QUARTER;
    case dvrDC:
        return DVRESOLUTION_DC;
    default:
        return DVRESOLUTION_FULL;
    }
}

} // namespace

void TTlmDVCapture::SetDVResolution(TDVResolution Value)
{
    if (Active()) {
        ComPtr<IBaseFilter> decoder;
        CheckHResult(FGraph->FindFilterByName(u"DV Video Decoder", decoder.ReleaseAndGetAddressOf()));
        ComPtr<IIPDVDec> dec;
        CheckHResult(decoder.As(&dec));
        CheckHResult(dec->put_IPDisplay(DecoderResolution(Value)));
    }
    FDVResolution = Value;
}

void TTlmDVCapture::SetDVFrameRate(TDVFrameRate Value)
{
    if (Active()) {
        ComPtr<IBaseFilter> splitter;
        CheckHResult(FGraph->FindFilterByName(u"DV Splitter", splitter.ReleaseAndGetAddressOf()));
        ComPtr<IDVSplitter> dv;
        CheckHResult(splitter.As(&dv));
        CheckHResult(dv->DiscardAlternateVideoFrames(Value == frHalf ? 1 : 0));
    }
    FDVFrameRate = Value;
}

int TTlmDVCapture::GetVolume()
{
    if (FAudio && !FMuted) {
        LONG volume = FVolumeCache;
        FAudio->get_Volume(&volume);
        FVolumeCache = volume;
        return volume;
    }
    return FVolumeCache;
}

void TTlmDVCapture::SetVolume(int Value)
{
    if (FAudio && FAudio->put_Volume(Value) == E_INVALIDARG)
        throw Exception(QString::fromUtf8("Specify the volume, as a number from \u201310,000 to 0."));
    FVolumeCache = Value;
}

void TTlmDVCapture::Mute()
{
    const int volume = GetVolume();
    SetVolume(-10000);
    FMuted = true;
    FVolumeCache = volume;
}

void TTlmDVCapture::Unmute()
{
    SetVolume(FVolumeCache);
    FMuted = false;
}
