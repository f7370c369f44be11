// The capture component's graphs, one per capture mode, downstream of the
// device filter: the frame grabber on the device's DV stream in every mode; in
// the capture modes the file output and the scene branch (a decoder at the
// smallest size into RGB24 for the picture grabber); in the preview modes the
// preview branch (splitter, decoder, video and audio renderers). The order of
// the connections matters: the first connection from a Smart Tee takes its
// capture pin, the second its preview pin.
#include "capture/TlmDVCap.h"

#include "capture/TlmVWin.h"

#include "platform/rtl/SysUtils.h"

namespace {

LPCWSTR Wide(const QString& s)
{
    return reinterpret_cast<LPCWSTR>(s.utf16());
}

} // namespace

ComPtr<IBaseFilter> TTlmDVCapture::AddNewFilter(const CLSID& Clsid, const char16_t* Name)
{
    ComPtr<IBaseFilter> filter;
    CheckHResult(CoCreateInstance(Clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  filter.ReleaseAndGetVoidAddressOf()));
    CheckHResult(FGraph->AddFilter(filter.Get(), Name));
    return filter;
}

void TTlmDVCapture::Render(const GUID& Type, IUnknown* Source, IBaseFilter* Intermediate, IBaseFilter* Sink)
{
    CheckHResult(FCaptureBuilder->RenderStream(nullptr, &Type, Source, Intermediate, Sink));
}

void TTlmDVCapture::SetupFrameGrabber(IBaseFilter* Grabber)
{
    CheckHResult(Grabber->QueryInterface(IID_ISampleGrabber, FFrameGrabber.ReleaseAndGetVoidAddressOf()));
    CheckHResult(FFrameGrabber->SetBufferSamples(TRUE));
    CheckHResult(FFrameGrabber->SetOneShot(FALSE));
    CheckHResult(FFrameGrabber->SetCallback(FFrameCB.get(), 0));
    // Always the same handler: set once, so that a sample of the previous graph
    // still on its way never sees it being replaced.
    if (!FFrameCB->OnSample)
        FFrameCB->OnSample = [this](BYTE* Buffer, LONG Len, LONGLONG Start, LONGLONG Stop) {
            DVFrameReceived(Buffer, Len, Start, Stop);
        };
}

// The scene branch's decoder gives its smallest picture: thumbnails need no more.
void TTlmDVCapture::SetSceneDecoderSize(IBaseFilter* Decoder)
{
    ComPtr<IIPDVDec> dec;
    CheckHResult(Decoder->QueryInterface(IID_PPV_ARGS(&dec)));
    CheckHResult(dec->put_IPDisplay(DVRESOLUTION_DC));
}

void TTlmDVCapture::SetupPictureGrabber(IBaseFilter* Grabber)
{
    CheckHResult(Grabber->QueryInterface(IID_ISampleGrabber, FPictureGrabber.ReleaseAndGetVoidAddressOf()));
    CheckHResult(FPictureGrabber->SetBufferSamples(TRUE));
    CheckHResult(FPictureGrabber->SetOneShot(FALSE));
    CheckHResult(FPictureGrabber->SetCallback(FPictureCB.get(), 0));
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    CheckHResult(FPictureGrabber->SetMediaType(&mt));
    // The handler assigned now; one assigned later is seen after the next build.
    FPictureCB->Install(FPictureGrabber, OnNewScene);
}

ComPtr<IBaseFilter> TTlmDVCapture::AddFileOutput()
{
    if (SceneDetection() == sdMultiFiles) {
        ComPtr<IBaseFilter> writer = AddNewFilter(CLSID_TlmAVIWriter, u"Tolmar AVI Writer");
        if (SUCCEEDED(writer.As(&FFileSink)) && FFileSink) {
            // A folder that cannot be written is raised by Start, which names
            // the file again, so that the graph is built whole all the same.
            FFileSink->SetFileName(Wide(ChangeFileExt(FFileName, ".tmp")), nullptr);
            CheckHResult(writer.As(&FFileSwitcher));
        }
        return writer;
    }
    ComPtr<IBaseFilter> mux;
    CheckHResult(FCaptureBuilder->SetOutputFileName(&MEDIASUBTYPE_Avi, Wide(FFileName), mux.ReleaseAndGetAddressOf(),
                                                    FFileSink.ReleaseAndGetAddressOf()));
    ComPtr<IFileSinkFilter2> sink2;
    if (SUCCEEDED(FFileSink.As(&sink2)) && sink2)
        sink2->SetMode(AM_FILE_OVERWRITE);
    sink2.Reset();
    ConfigureAviMux(mux.Get(), INTERLEAVE_NONE);
    mux.As(&FMuxStatus);
    return mux;
}

void TTlmDVCapture::ConfigureAviMux(IBaseFilter* Mux, LONG Mode)
{
    ComPtr<IConfigAviMux> config;
    CheckHResult(Mux->QueryInterface(IID_IConfigAviMux, config.ReleaseAndGetVoidAddressOf()));
    CheckHResult(config->SetOutputCompatibilityIndex(TRUE));
    ComPtr<IConfigInterleaving> interleaving;
    CheckHResult(Mux->QueryInterface(IID_IConfigInterleaving, interleaving.ReleaseAndGetVoidAddressOf()));
    CheckHResult(interleaving->put_Mode(static_cast<InterleavingMode>(Mode)));
}

void TTlmDVCapture::ApplyPreviewSettings(bool AttachFirst)
{
    if (AttachFirst && FPreviewWindow)
        FPreviewWindow->AttachVideo();
    SetDVResolution(FDVResolution);
    SetDVFrameRate(FDVFrameRate);
    if (FMuted && FAudio) {
        // A muted preview stays silent in the new graph; the volume to restore is kept.
        FAudio->put_Volume(-10000);
    } else {
        SetVolume(FVolumeCache);
    }
    ComPtr<IMediaEvent> events;
    CheckHResult(FGraph.As(&events));
    CheckHResult(events->CancelDefaultHandling(EC_REPAINT));
    if (!AttachFirst && FPreviewWindow)
        FPreviewWindow->AttachVideo();
}

void TTlmDVCapture::GraphTail()
{
    CheckHResult(FCaptureBuilder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, FDeviceFilter.Get(),
                                                IID_IAMDroppedFrames, FDroppedFrames.ReleaseAndGetVoidAddressOf()));
    FSignalFormat = GetSignalFormat();
}

void TTlmDVCapture::BuildGraph()
{
    Stop();
    RemoveDownstream(FDeviceFilter.Get(), true);
    FFileSink.Reset();
    FFileSwitcher.Reset();
    FMuxStatus.Reset();
    FAudio.Reset();
    switch (CaptureMode()) {
    case cmDVType1:
        BuildDVType1Graph();
        break;
    case cmDVType2:
        BuildDVType2Graph();
        break;
    case cmDVType1wPreview:
        BuildDVType1wPreviewGraph();
        break;
    case cmDVType2wPreview:
        BuildDVType2wPreviewGraph();
        break;
    default:
        BuildPreviewGraph();
        break;
    }
}

void TTlmDVCapture::BuildPreviewGraph()
{
    const auto grab = AddNewFilter(CLSID_SampleGrabber, u"SampleGrab");
    const auto splitter = AddNewFilter(CLSID_DVSplitter, u"DV Splitter");
    const auto decoder = AddNewFilter(CLSID_DVVideoCodec, u"DV Video Decoder");
    const auto audio = AddNewFilter(CLSID_DSoundRender, u"Audio Renderer");
    CheckHResult(audio.As(&FAudio));
    SetupFrameGrabber(grab.Get());

    Render(MEDIATYPE_Interleaved, FDeviceFilter.Get(), grab.Get(), splitter.Get());
    Render(MEDIATYPE_Video, splitter.Get(), decoder.Get(), nullptr);
    Render(MEDIATYPE_Audio, splitter.Get(), nullptr, audio.Get());

    ApplyPreviewSettings(true);
    GraphTail();
}

void TTlmDVCapture::BuildDVType1Graph()
{
    const auto grab = AddNewFilter(CLSID_SampleGrabber, u"SampleGrab");
    const auto sceneDecoder = AddNewFilter(CLSID_DVVideoCodec, u"New Scenes Video Decoder");
    const auto pictureGrab = AddNewFilter(CLSID_SampleGrabber, u"PictureGrab");
    const auto sceneTee = AddNewFilter(CLSID_SmartTee, u"NewScene SmartTee");
    const auto nullRenderer = AddNewFilter(CLSID_NullRenderer, u"NewScene Null Renderer");
    const auto sceneSplitter = AddNewFilter(CLSID_DVSplitter, u"NewScenes DV Splitter");
    SetupFrameGrabber(grab.Get());
    SetupPictureGrabber(pictureGrab.Get());
    const auto file = AddFileOutput();

    Render(MEDIATYPE_Interleaved, FDeviceFilter.Get(), nullptr, grab.Get());
    Render(MEDIATYPE_Interleaved, grab.Get(), nullptr, sceneTee.Get());
    Render(MEDIATYPE_Interleaved, sceneTee.Get(), nullptr, file.Get());
    Render(MEDIATYPE_Interleaved, sceneTee.Get(), nullptr, sceneSplitter.Get());
    Render(MEDIATYPE_Video, sceneSplitter.Get(), sceneDecoder.Get(), pictureGrab.Get());
    SetSceneDecoderSize(sceneDecoder.Get());
    Render(MEDIATYPE_Video, pictureGrab.Get(), nullptr, nullRenderer.Get());

    GraphTail();
}

void TTlmDVCapture::BuildDVType2Graph()
{
    const auto grab = AddNewFilter(CLSID_SampleGrabber, u"SampleGrab");
    const auto sceneDecoder = AddNewFilter(CLSID_DVVideoCodec, u"New Scenes Video Decoder");
    const auto pictureGrab = AddNewFilter(CLSID_SampleGrabber, u"PictureGrab");
    const auto sceneTee = AddNewFilter(CLSID_SmartTee, u"NewScene SmartTee");
    const auto nullRenderer = AddNewFilter(CLSID_NullRenderer, u"NewScene Null Renderer");
    const auto muxSplitter = AddNewFilter(CLSID_DVSplitter, u"DV Splitter_mux");
    SetupFrameGrabber(grab.Get());
    SetupPictureGrabber(pictureGrab.Get());
    const auto file = AddFileOutput();

    Render(MEDIATYPE_Interleaved, FDeviceFilter.Get(), nullptr, grab.Get());
    Render(MEDIATYPE_Interleaved, grab.Get(), nullptr, muxSplitter.Get());
    Render(MEDIATYPE_Video, muxSplitter.Get(), nullptr, sceneTee.Get());
    Render(MEDIATYPE_Video, sceneTee.Get(), nullptr, file.Get());
    Render(MEDIATYPE_Video, sceneTee.Get(), sceneDecoder.Get(), pictureGrab.Get());
    SetSceneDecoderSize(sceneDecoder.Get());
    Render(MEDIATYPE_Video, pictureGrab.Get(), nullptr, nullRenderer.Get());
    Render(MEDIATYPE_Audio, muxSplitter.Get(), nullptr, file.Get());

    GraphTail();
}

void TTlmDVCapture::BuildDVType1wPreviewGraph()
{
    const auto grab = AddNewFilter(CLSID_SampleGrabber, u"SampleGrab");
    const auto decoder = AddNewFilter(CLSID_DVVideoCodec, u"DV Video Decoder");
    const auto sceneDecoder = AddNewFilter(CLSID_DVVideoCodec, u"New Scenes Video Decoder");
    const auto pictureGrab = AddNewFilter(CLSID_SampleGrabber, u"PictureGrab");
    const auto tee = AddNewFilter(CLSID_SmartTee, u"SmartTee");
    const auto sceneTee = AddNewFilter(CLSID_SmartTee, u"NewScene SmartTee");
    const auto nullRenderer = AddNewFilter(CLSID_NullRenderer, u"NewScene Null Renderer");
    const auto splitter = AddNewFilter(CLSID_DVSplitter, u"DV Splitter");
    const auto sceneSplitter = AddNewFilter(CLSID_DVSplitter, u"NewScenes DV Splitter");
    const auto audio = AddNewFilter(CLSID_DSoundRender, u"AudioRenderer");
    CheckHResult(audio.As(&FAudio));
    SetupFrameGrabber(grab.Get());
    SetupPictureGrabber(pictureGrab.Get());
    const auto file = AddFileOutput();

    Render(MEDIATYPE_Interleaved, FDeviceFilter.Get(), nullptr, tee.Get());
    Render(MEDIATYPE_Interleaved, tee.Get(), grab.Get(), sceneTee.Get());
    Render(MEDIATYPE_Interleaved, sceneTee.Get(), nullptr, file.Get());
    Render(MEDIATYPE_Interleaved, sceneTee.Get(), nullptr, sceneSplitter.Get());
    Render(MEDIATYPE_Video, sceneSplitter.Get(), sceneDecoder.Get(), pictureGrab.Get());
    SetSceneDecoderSize(sceneDecoder.Get());
    Render(MEDIATYPE_Video, pictureGrab.Get(), nullptr, nullRenderer.Get());
    Render(MEDIATYPE_Interleaved, tee.Get(), nullptr, splitter.Get());
    Render(MEDIATYPE_Audio, splitter.Get(), nullptr, audio.Get());
    Render(MEDIATYPE_Video, splitter.Get(), nullptr, decoder.Get());
    Render(MEDIATYPE_Video, decoder.Get(), nullptr, nullptr);

    ApplyPreviewSettings(false);
    GraphTail();
}

void TTlmDVCapture::BuildDVType2wPreviewGraph()
{
    const auto grab = AddNewFilter(CLSID_SampleGrabber, u"SampleGrab");
    const auto decoder = AddNewFilter(CLSID_DVVideoCodec, u"DV Video Decoder");
    const auto sceneDecoder = AddNewFilter(CLSID_DVVideoCodec, u"New Scenes Video Decoder");
    const auto pictureGrab = AddNewFilter(CLSID_SampleGrabber, u"PictureGrab");
    const auto tee = AddNewFilter(CLSID_SmartTee, u"SmartTee");
    const auto sceneTee = AddNewFilter(CLSID_SmartTee, u"NewScene SmartTee");
    const auto nullRenderer = AddNewFilter(CLSID_NullRenderer, u"NewScene Null Renderer");
    SetupFrameGrabber(grab.Get());
    SetupPictureGrabber(pictureGrab.Get());
    const auto splitter = AddNewFilter(CLSID_DVSplitter, u"DV Splitter");
    const auto muxSplitter = AddNewFilter(CLSID_DVSplitter, u"DV Splitter_mux");
    const auto audio = AddNewFilter(CLSID_DSoundRender, u"AudioRenderer");
    CheckHResult(audio.As(&FAudio));
    const auto file = AddFileOutput();

    Render(MEDIATYPE_Interleaved, FDeviceFilter.Get(), nullptr, tee.Get());
    Render(MEDIATYPE_Interleaved, tee.Get(), grab.Get(), muxSplitter.Get());
    Render(MEDIATYPE_Video, muxSplitter.Get(), nullptr, sceneTee.Get());
    Render(MEDIATYPE_Video, sceneTee.Get(), nullptr, file.Get());
    Render(MEDIATYPE_Video, sceneTee.Get(), nullptr, sceneDecoder.Get());
    Render(MEDIATYPE_Video, sceneDecoder.Get(), nullptr, pictureGrab.Get());
    SetSceneDecoderSize(sceneDecoder.Get());
    Render(MEDIATYPE_Video, pictureGrab.Get(), nullptr, nullRenderer.Get());
    Render(MEDIATYPE_Audio, muxSplitter.Get(), nullptr, file.Get());
    Render(MEDIATYPE_Interleaved, tee.Get(), nullptr, splitter.Get());
    Render(MEDIATYPE_Audio, splitter.Get(), nullptr, audio.Get());
    Render(MEDIATYPE_Video, splitter.Get(), nullptr, decoder.Get());
    Render(MEDIATYPE_Video, decoder.Get(), nullptr, nullptr);

    ApplyPreviewSettings(false);
    GraphTail();
}
