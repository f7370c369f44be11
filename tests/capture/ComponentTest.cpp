// The capture component without the DV device: activation on a machine
// without it, the choice of the device by its friendly name, device arrivals
// and the setters while inactive.
#include "CaptureFakes.h"

#include "platform/dshow/DeviceEnum.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

using th::com::MakeCom;
using A = TlmDVCaptureTestAccess;

namespace {

// A capture device's filter without the DV device's control interfaces.
class BareFilter : public th::com::ComObject<IBaseFilter> {
public:
    HRESULT GetClassID(CLSID*) override { return E_NOTIMPL; }
    HRESULT Stop() override { return S_OK; }
    HRESULT Pause() override { return S_OK; }
    HRESULT Run(REFERENCE_TIME) override { return S_OK; }
    HRESULT GetState(DWORD, FILTER_STATE* s) override
    {
        *s = State_Stopped;
        return S_OK;
    }
    HRESULT SetSyncSource(IReferenceClock*) override { return S_OK; }
    HRESULT GetSyncSource(IReferenceClock** c) override
    {
        *c = nullptr;
        return S_OK;
    }
    HRESULT EnumPins(IEnumPins**) override { return E_NOTIMPL; }
    HRESULT FindPin(LPCWSTR, IPin**) override { return VFW_E_NOT_FOUND; }
    HRESULT QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
    HRESULT JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
    HRESULT QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }
};

// Video-input devices of the test's own, each counting how often it is bound.
class Devices {
public:
    ~Devices()
    {
        for (auto id : ids_)
            th::dshow::RemoveDevice(id);
    }
    std::shared_ptr<int> Add(const std::u16string& name)
    {
        auto bound = std::make_shared<int>(0);
        ids_.push_back(th::dshow::AddDevice(CLSID_VideoInputDeviceCategory, name, [bound](REFIID riid, void** ppv) {
            ++*bound;
            return MakeCom<BareFilter>()->QueryInterface(riid, ppv);
        }));
        return bound;
    }

private:
    std::vector<std::uint64_t> ids_;
};

struct Events {
    std::vector<std::string> log;
    void Watch(TTlmDVCapture& dv)
    {
        dv.OnChangeCaptureState = [this](QObject*, TCaptureState s) { log.push_back("state " + std::to_string(s)); };
        dv.OnChangeCaptureMode = [this](QObject*, TCaptureMode m) { log.push_back("mode " + std::to_string(m)); };
        dv.OnDeviceLost = [this](QObject*, TDeviceMode m) { log.push_back("device " + std::to_string(m)); };
    }
};

} // namespace

TEST(Component, StartsInactiveWithItsDefaults)
{
    TTlmDVCapture dv;
    EXPECT_FALSE(dv.Active());
    EXPECT_TRUE(dv.AutoStart());
    EXPECT_EQ(dv.FileName(), "capture.avi");
    EXPECT_EQ(dv.CaptureMode(), cmPreview);
    EXPECT_EQ(dv.SceneDetection(), sdSingleFile);
    EXPECT_EQ(dv.DVResolution(), dvrFull);
    EXPECT_EQ(dv.DVFrameRate(), frFull);
    EXPECT_EQ(dv.Volume(), 0);
    EXPECT_EQ(dv.GetCaptureState(), csConstructed);
    EXPECT_EQ(dv.SignalFormat(), sfPAL);
    EXPECT_EQ(dv.FrameRate(), 25);
    EXPECT_EQ(dv.PreviewWindow(), nullptr);
}

TEST(Component, WithoutTheDvDeviceActivationLeavesItInactiveSilently)
{
    Devices devices;
    auto webcam = devices.Add(u"Some Webcam");
    TTlmDVCapture dv;
    Events events;
    events.Watch(dv);
    EXPECT_NO_THROW(dv.SetActive(true));
    EXPECT_FALSE(dv.Active());
    EXPECT_EQ(dv.GetCaptureState(), csConstructed);
    EXPECT_TRUE(events.log.empty());
    EXPECT_EQ(*webcam, 0) << "a device of another name is not even bound";
    dv.SetActive(false);
    EXPECT_TRUE(events.log.empty()) << "setting the value it has does nothing";
}

TEST(Component, TheDeviceIsFoundByItsNameInAnyCaseAndTheFirstOneWins)
{
    Devices devices;
    auto other = devices.Add(u"DV Camera");
    auto first = devices.Add(u"MICROSOFT dv camera AND vcr");
    auto second = devices.Add(u"Microsoft DV Camera and VCR");
    TTlmDVCapture dv;
    Events events;
    events.Watch(dv);
    // The devices here lack the DV device's control interfaces, which makes
    // the activation fail right after the choice.
    try {
        dv.SetActive(true);
        ADD_FAILURE() << "no error";
    } catch (const EExternalException& e) {
        EXPECT_EQ(e.ExceptionCode(), E_NOINTERFACE);
        EXPECT_EQ(e.Message(), "External exception 80004002");
    }
    EXPECT_EQ(*other, 0);
    EXPECT_EQ(*first, 1);
    EXPECT_EQ(*second, 0);
    EXPECT_FALSE(dv.Active());
    EXPECT_TRUE(events.log.empty()) << "no state was reached";
}

TEST(Component, ADeviceArrivalIsReportedAndStartsTheComponentWhenAsked)
{
    TTlmDVCapture dv;
    Events events;
    events.Watch(dv);
    // Any capture-class interface counts; others and removals do not.
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, MakeGuid("53F56307-B6BF-11D0-94F2-00A0C91EFB8B"),
                                            "/dev/disk");
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, KSCATEGORY_CAPTURE, "/dev/video9");
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, KSCATEGORY_CAPTURE, "/dev/video9");
    ASSERT_TRUE(th::test::waitUntil([&] { return !events.log.empty(); }));
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(events.log, std::vector<std::string>{"device 0"}) << "available; no DV device, so still inactive";
    EXPECT_FALSE(dv.Active());

    events.log.clear();
    dv.SetAutoStart(false);
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, KSCATEGORY_CAPTURE, "/dev/video9");
    ASSERT_TRUE(th::test::waitUntil([&] { return !events.log.empty(); }));
    EXPECT_EQ(events.log, std::vector<std::string>{"device 0"});
}

TEST(Component, AFailedAutomaticStartIsReportedAsARemovedDevice)
{
    Devices devices;
    devices.Add(u"Microsoft DV Camera and VCR"); // found, but cannot be activated
    TTlmDVCapture dv;
    Events events;
    events.Watch(dv);
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, KSCATEGORY_CAPTURE, "/dev/video9");
    ASSERT_TRUE(th::test::waitUntil([&] { return !events.log.empty(); }));
    EXPECT_EQ(events.log, std::vector<std::string>{"device 1"});
    EXPECT_FALSE(dv.Active());
}

TEST(Component, SettersWhileInactiveStoreWithoutBuilding)
{
    TTlmDVCapture dv;
    Events events;
    events.Watch(dv);
    dv.SetCaptureMode(cmPreview);
    EXPECT_TRUE(events.log.empty()) << "the mode it has";
    dv.SetCaptureMode(cmDVType2);
    EXPECT_EQ(dv.CaptureMode(), cmDVType2);
    EXPECT_EQ(events.log, std::vector<std::string>{"mode 2"});
    EXPECT_FALSE(dv.Active());

    dv.SetSceneDetection(sdMultiFiles); // tries to activate: no device
    EXPECT_EQ(dv.SceneDetection(), sdMultiFiles);
    EXPECT_FALSE(dv.Active());

    dv.SetDVResolution(dvrQuarter);
    dv.SetDVFrameRate(frHalf);
    EXPECT_EQ(dv.DVResolution(), dvrQuarter);
    EXPECT_EQ(dv.DVFrameRate(), frHalf);
    dv.SetVolume(-10001);
    EXPECT_EQ(dv.Volume(), -10001) << "without a renderer the volume is stored unchecked";
}

TEST(Component, DeviceEventsOnAnInactiveComponent)
{
    TTlmDVCapture dv;
    Events events;
    events.Watch(dv);
    dv.SetAutoStart(false);
    A::DeviceChanged(dv, 0);
    A::DeviceChanged(dv, 1);
    EXPECT_EQ(events.log, (std::vector<std::string>{"device 1", "device 0"}));
}

// --- Volume and mute on a renderer double ----------------------------------------------------

namespace {

class Audio : public th::com::ComObject<IBasicAudio> {
public:
    LONG volume = 0;
    std::vector<LONG> puts;
    HRESULT put_Volume(LONG v) override
    {
        if (v < -10000 || v > 0)
            return E_INVALIDARG;
        puts.push_back(v);
        volume = v;
        return S_OK;
    }
    HRESULT get_Volume(LONG* v) override
    {
        *v = volume;
        return S_OK;
    }
};

} // namespace

TEST(PreviewVolume, MuteRemembersTheVolumeAndUnmuteRestoresIt)
{
    TTlmDVCapture dv;
    auto audio = MakeCom<Audio>();
    A::SetAudio(dv, audio.Get());
    dv.SetVolume(-2500);
    EXPECT_EQ(dv.Volume(), -2500);
    audio->volume = -3000; // the renderer changed it
    EXPECT_EQ(dv.Volume(), -3000) << "read from the renderer";
    dv.Mute();
    EXPECT_EQ(audio->volume, -10000);
    EXPECT_EQ(dv.Volume(), -3000) << "muted: the remembered volume";
    dv.Mute();
    EXPECT_EQ(dv.Volume(), -3000) << "a second mute keeps the first one's volume";
    dv.Unmute();
    EXPECT_EQ(audio->volume, -3000);

    dv.Mute();
    dv.SetVolume(-500); // changes the renderer at once and becomes the remembered volume
    EXPECT_EQ(audio->volume, -500);
    EXPECT_EQ(dv.Volume(), -500);
    dv.Unmute();
    EXPECT_EQ(audio->volume, -500);

    audio->puts.clear();
    dv.Unmute(); // without a mute: the renderer gets the cached volume
    EXPECT_EQ(audio->puts, std::vector<LONG>{-500});
    A::SetAudio(dv, nullptr);
}

TEST(PreviewVolume, AnOutOfRangeVolumeIsRejectedByARenderer)
{
    TTlmDVCapture dv;
    auto audio = MakeCom<Audio>();
    A::SetAudio(dv, audio.Get());
    dv.SetVolume(-100);
    try {
        dv.SetVolume(-10001);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QString::fromUtf8("Specify the volume, as a number from \u201310,000 to 0."));
    }
    EXPECT_EQ(dv.Volume(), -100) << "the old value stays";
    A::SetAudio(dv, nullptr);
}
