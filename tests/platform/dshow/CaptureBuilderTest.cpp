// The capture graph builder: the pin rule of RenderStream (one and two tees,
// an intermediate filter, several outputs, refusals, the default renderer),
// the AVI file output and FindInterface.
#include "TestFilters.h"

#include <gtest/gtest.h>

using namespace dstest;

namespace {

class CaptureBuilder : public ::testing::Test {
protected:
    void SetUp() override
    {
        graph = MakeGraph();
        ASSERT_TRUE(graph);
        ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(builder.ReleaseAndGetAddressOf())),
                  S_OK);
        ASSERT_EQ(builder->SetFiltergraph(graph.Get()), S_OK);
    }

    ComPtr<IBaseFilter> Add(ComPtr<IBaseFilter> f, const char16_t* name)
    {
        EXPECT_TRUE(f);
        EXPECT_EQ(graph->AddFilter(f.Get(), name), S_OK);
        return f;
    }

    std::u16string PeerOf(IBaseFilter* filter, const char16_t* pin)
    {
        ComPtr<IPin> p = PinByName(filter, pin);
        return p ? FilterNameOf(PeerFilter(p.Get()).Get()) : u"<no pin>";
    }

    StandIns standIns;
    ComPtr<IGraphBuilder> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
};

} // namespace

TEST_F(CaptureBuilder, OneTeeCaptureThenPreview)
{
    ComPtr<IBaseFilter> device = Add(TestSource::Make(), u"Device Filter");
    ComPtr<IBaseFilter> tee = Add(MakeFilter(CLSID_SmartTee), u"SmartTee");
    ComPtr<IBaseFilter> grab = Add(MakeFilter(CLSID_SampleGrabber), u"SampleGrab");
    ComPtr<IBaseFilter> mux = Add(TestSink::Make(), u"DV Splitter_mux");
    ComPtr<IBaseFilter> preview = Add(TestSink::Make(), u"DV Splitter");
    const GUID* none = nullptr;

    // Before the tee's input is connected its outputs offer no type at all.
    EXPECT_TRUE(FAILED(builder->RenderStream(none, &MEDIATYPE_Interleaved, tee.Get(), nullptr, mux.Get())));
    ASSERT_EQ(builder->RenderStream(none, &MEDIATYPE_Interleaved, device.Get(), nullptr, tee.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, &MEDIATYPE_Interleaved, tee.Get(), grab.Get(), mux.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, &MEDIATYPE_Interleaved, tee.Get(), nullptr, preview.Get()), S_OK);

    EXPECT_EQ(PeerOf(tee.Get(), u"Capture"), u"SampleGrab");
    EXPECT_EQ(PeerOf(grab.Get(), u"Output"), u"DV Splitter_mux");
    EXPECT_EQ(PeerOf(tee.Get(), u"Preview"), u"DV Splitter");
    // Both of the tee's outputs are taken: a third stream has nowhere to go.
    ComPtr<IBaseFilter> third = Add(TestSink::Make(), u"Third");
    EXPECT_TRUE(FAILED(builder->RenderStream(none, &MEDIATYPE_Interleaved, tee.Get(), nullptr, third.Get())));
}

TEST_F(CaptureBuilder, TwoTeesAsTheCapturePreviewGraphUsesThem)
{
    // device -> SmartTee; SmartTee -> SampleGrab -> NewScene SmartTee;
    // NewScene SmartTee -> file; NewScene SmartTee -> scene branch; SmartTee -> preview.
    ComPtr<IBaseFilter> device = Add(TestSource::Make(), u"Device Filter");
    ComPtr<IBaseFilter> tee = Add(MakeFilter(CLSID_SmartTee), u"SmartTee");
    ComPtr<IBaseFilter> sceneTee = Add(MakeFilter(CLSID_SmartTee), u"NewScene SmartTee");
    ComPtr<IBaseFilter> grab = Add(MakeFilter(CLSID_SampleGrabber), u"SampleGrab");
    TestSink* fileSink = nullptr;
    ComPtr<IBaseFilter> file = Add(TestSink::Make({}, &fileSink), u"Tolmar AVI Writer");
    ComPtr<IBaseFilter> scenes = Add(TestSink::Make(), u"NewScenes DV Splitter");
    ComPtr<IBaseFilter> preview = Add(TestSink::Make(), u"DV Splitter");
    const GUID* none = nullptr;
    const GUID* il = &MEDIATYPE_Interleaved;
    ASSERT_EQ(builder->RenderStream(none, il, device.Get(), nullptr, tee.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, il, tee.Get(), grab.Get(), sceneTee.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, il, sceneTee.Get(), nullptr, file.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, il, sceneTee.Get(), nullptr, scenes.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, il, tee.Get(), nullptr, preview.Get()), S_OK);

    EXPECT_EQ(PeerOf(tee.Get(), u"Capture"), u"SampleGrab");
    EXPECT_EQ(PeerOf(grab.Get(), u"Output"), u"NewScene SmartTee");
    EXPECT_EQ(PeerOf(sceneTee.Get(), u"Capture"), u"Tolmar AVI Writer");
    EXPECT_EQ(PeerOf(sceneTee.Get(), u"Preview"), u"NewScenes DV Splitter");
    EXPECT_EQ(PeerOf(tee.Get(), u"Preview"), u"DV Splitter");

    // And it streams: the file gets the frames in order.
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(fileSink->WaitForCount(20));
    ASSERT_EQ(control->Stop(), S_OK);
    const std::vector<Received> got = fileSink->Samples();
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i].index, static_cast<int>(i));
}

TEST_F(CaptureBuilder, TheTypeChoosesAmongSeveralOutputs)
{
    SourceOptions options;
    options.moreOutputs = {MEDIATYPE_Audio, MEDIATYPE_Video};
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> splitter = Add(TestSource::Make(options, &src), u"DV Splitter_mux");
    ComPtr<IBaseFilter> video = Add(TestSink::Make({MEDIATYPE_Video}), u"Video");
    ComPtr<IBaseFilter> audio = Add(TestSink::Make({MEDIATYPE_Audio}), u"Audio");
    const GUID* none = nullptr;
    ASSERT_EQ(builder->RenderStream(none, &MEDIATYPE_Video, splitter.Get(), nullptr, video.Get()), S_OK);
    ASSERT_EQ(builder->RenderStream(none, &MEDIATYPE_Audio, splitter.Get(), nullptr, audio.Get()), S_OK);
    EXPECT_EQ(PeerOf(splitter.Get(), u"Out3"), u"Video");
    EXPECT_EQ(PeerOf(splitter.Get(), u"Out2"), u"Audio");
    EXPECT_FALSE(src->OutputPin(0)->IsConnected());
    // No free video output is left.
    ComPtr<IBaseFilter> more = Add(TestSink::Make(), u"More");
    EXPECT_TRUE(FAILED(builder->RenderStream(none, &MEDIATYPE_Video, splitter.Get(), nullptr, more.Get())));
    // A pin as the source is taken as it is.
    ASSERT_EQ(builder->RenderStream(none, nullptr, static_cast<IPin*>(src->OutputPin(0)), nullptr, more.Get()), S_OK);
    EXPECT_EQ(PeerOf(splitter.Get(), u"Out"), u"More");
}

TEST_F(CaptureBuilder, RefusedStreamsLeaveNothingConnected)
{
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> device = Add(TestSource::Make({}, &src), u"Device Filter");
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> videoOnly = Add(TestSink::Make({MEDIATYPE_Video}, &sink), u"Video only");
    const GUID* none = nullptr;
    // No audio output on the device.
    EXPECT_TRUE(FAILED(builder->RenderStream(none, &MEDIATYPE_Audio, device.Get(), nullptr, videoOnly.Get())));
    // An interleaved output into a sink that takes only video.
    EXPECT_TRUE(FAILED(builder->RenderStream(none, &MEDIATYPE_Interleaved, device.Get(), nullptr, videoOnly.Get())));
    EXPECT_FALSE(src->OutputPin()->IsConnected());
    EXPECT_FALSE(sink->InputPin()->IsConnected());

    // A grabber set to RGB24 refuses DV as the intermediate of a stream.
    ComPtr<IBaseFilter> grab = Add(MakeFilter(CLSID_SampleGrabber), u"PictureGrab");
    ComPtr<ISampleGrabber> sg = grab.As<ISampleGrabber>();
    CMediaType rgb(MEDIATYPE_Video);
    rgb.subtype = MEDIASUBTYPE_RGB24;
    ASSERT_EQ(sg->SetMediaType(&rgb), S_OK);
    ComPtr<IBaseFilter> any = Add(TestSink::Make(), u"Null");
    EXPECT_TRUE(FAILED(builder->RenderStream(none, &MEDIATYPE_Interleaved, device.Get(), grab.Get(), any.Get())));
    EXPECT_FALSE(src->OutputPin()->IsConnected());
}

TEST_F(CaptureBuilder, AnIntermediateMayChangeTheType)
{
    ComPtr<IBaseFilter> splitter = Add(TestSource::Make(), u"NewScenes DV Splitter");
    ComPtr<IBaseFilter> decoder = Add(TestConverter::Make(MEDIATYPE_Video), u"New Scenes Video Decoder");
    ComPtr<IBaseFilter> picture = Add(TestSink::Make({MEDIATYPE_Video}), u"PictureGrab");
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Interleaved, splitter.Get(), decoder.Get(), picture.Get()),
              S_OK);
    EXPECT_EQ(PeerOf(splitter.Get(), u"Out"), u"New Scenes Video Decoder");
    EXPECT_EQ(PeerOf(decoder.Get(), u"Output"), u"PictureGrab");
}

TEST_F(CaptureBuilder, WithoutASinkVideoGoesToTheVideoRenderer)
{
    SourceOptions videoOut;
    videoOut.major = MEDIATYPE_Video;
    ComPtr<IBaseFilter> decoder = Add(TestSource::Make(videoOut), u"DV Video Decoder");
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Video, decoder.Get(), nullptr, nullptr), S_OK);
    ComPtr<IBaseFilter> renderer;
    ASSERT_EQ(graph->FindFilterByName(u"Video Renderer", renderer.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(PeerOf(decoder.Get(), u"Out"), u"Video Renderer");
    EXPECT_TRUE(graph.As<IVideoWindow>());
    // Audio has no default renderer here.
    SourceOptions audioOut;
    audioOut.major = MEDIATYPE_Audio;
    ComPtr<IBaseFilter> splitter = Add(TestSource::Make(audioOut), u"DV Splitter");
    EXPECT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Audio, splitter.Get(), nullptr, nullptr), VFW_E_CANNOT_RENDER);
}

TEST_F(CaptureBuilder, DefaultRendererMissingLeavesNoFilterBehind)
{
    th::com::UnregisterBuiltinClass(CLSID_VideoRenderer);
    SourceOptions videoOut;
    videoOut.major = MEDIATYPE_Video;
    ComPtr<IBaseFilter> decoder = Add(TestSource::Make(videoOut), u"DV Video Decoder");
    EXPECT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Video, decoder.Get(), nullptr, nullptr), REGDB_E_CLASSNOTREG);
    ComPtr<IBaseFilter> renderer;
    EXPECT_EQ(graph->FindFilterByName(u"Video Renderer", renderer.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);
}

TEST_F(CaptureBuilder, OutputFileAddsMuxAndWriter)
{
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    EXPECT_EQ(builder->SetOutputFileName(&MEDIASUBTYPE_dvsd, u"capture.avi", mux.ReleaseAndGetAddressOf(),
                                         sink.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
    ASSERT_EQ(builder->SetOutputFileName(&MEDIASUBTYPE_Avi, u"/v/capture.avi", mux.ReleaseAndGetAddressOf(),
                                         sink.ReleaseAndGetAddressOf()),
              S_OK);
    ASSERT_TRUE(mux && sink);
    CLSID clsid{};
    ComPtr<IPersist>(mux.As<IPersist>())->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_AviDest);
    LPOLESTR name = nullptr;
    ASSERT_EQ(sink->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"/v/capture.avi");
    CoTaskMemFree(name);
    EXPECT_TRUE(sink.As<IFileSinkFilter2>());

    // The mux is connected to the writer and has its inputs free for the streams.
    ComPtr<IBaseFilter> writer = PeerFilter(PinByName(mux.Get(), u"AVI Out").Get());
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer.Get(), sink.As<IBaseFilter>().Get());
    ComPtr<IBaseFilter> device = Add(TestSource::Make(), u"Device Filter");
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Interleaved, device.Get(), nullptr, mux.Get()), S_OK);
    EXPECT_EQ(PeerOf(mux.Get(), u"Input 01"), u"Device Filter");
}

TEST_F(CaptureBuilder, OutputFileWithoutTheAviLayerFailsCleanly)
{
    th::com::UnregisterBuiltinClass(CLSID_FileWriter);
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    EXPECT_EQ(builder->SetOutputFileName(&MEDIASUBTYPE_Avi, u"capture.avi", mux.ReleaseAndGetAddressOf(),
                                         sink.ReleaseAndGetAddressOf()),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(mux);
    ComPtr<IEnumFilters> e;
    graph->EnumFilters(e.ReleaseAndGetAddressOf());
    IBaseFilter* f = nullptr;
    ULONG n = 0;
    EXPECT_EQ(e->Next(1, &f, &n), S_FALSE); // nothing was left in the graph
}

TEST_F(CaptureBuilder, FindInterfaceAsksThePinOfTheCategory)
{
    SourceOptions options;
    options.category = PIN_CATEGORY_CAPTURE;
    ComPtr<IBaseFilter> device = Add(TestSource::Make(options), u"Device Filter");
    ComPtr<IBaseFilter> tee = Add(MakeFilter(CLSID_SmartTee), u"SmartTee");
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Interleaved, device.Get(), nullptr, tee.Get()), S_OK);

    // The device's capture pin, found by category and type.
    ComPtr<IPin> pin;
    ASSERT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, device.Get(), IID_IPin,
                                     pin.ReleaseAndGetVoidAddressOf()),
              S_OK);
    EXPECT_EQ(pin.Get(), static_cast<IPin*>(PinByName(device.Get(), u"Out").Get()));
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IID_IPin,
                                     pin.ReleaseAndGetVoidAddressOf()),
              E_NOINTERFACE);
    // The tee's dropped-frame counts are on its preview pin, not its capture pin.
    ComPtr<IAMDroppedFrames> dropped;
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, tee.Get(),
                                     IID_IAMDroppedFrames, dropped.ReleaseAndGetVoidAddressOf()),
              E_NOINTERFACE);
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Interleaved, tee.Get(),
                                     IID_IAMDroppedFrames, dropped.ReleaseAndGetVoidAddressOf()),
              S_OK);
    // Without a category: the filter itself first.
    ComPtr<ISampleGrabber> none;
    EXPECT_EQ(builder->FindInterface(nullptr, nullptr, tee.Get(), IID_ISampleGrabber, none.ReleaseAndGetVoidAddressOf()),
              E_NOINTERFACE);
}
