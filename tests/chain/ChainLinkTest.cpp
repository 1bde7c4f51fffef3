#include "chain/MMDSPObj.h"
#include "chain/MMMsgs.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Every state operation a link receives, in order, shared by the links of one test.
using CallLog = std::vector<std::string>;

class Link : public TMMDSPComponent {
public:
    Link(TMMComponentOwner* owner, const std::string& name, CallLog* log = nullptr,
         unsigned links = plInput | plOutput)
        : TMMDSPComponent(owner), log_(log) {
        SetName(name);
        SetPublishedLinks(links);
    }
    const char* ClassName() const override { return "Link"; }
    void Open() override { Record("Open"), TMMDSPComponent::Open(); }
    void Close() override { Record("Close"), TMMDSPComponent::Close(); }
    void Start() override { Record("Start"), TMMDSPComponent::Start(); }
    void Stop() override { Record("Stop"), TMMDSPComponent::Stop(); }
    void Pause() override { Record("Pause"), TMMDSPComponent::Pause(); }

protected:
    void Record(const char* what) {
        if (log_ != nullptr)
            log_->push_back(Name() + "." + what);
    }
    CallLog* log_;
};

class Device : public TMMCustomSoundComponent {
public:
    Device(TMMComponentOwner* owner, const std::string& name, CallLog* log)
        : TMMCustomSoundComponent(owner), log_(log) {
        SetName(name);
        SetPublishedLinks(plInput | plOutput);
    }
    const char* ClassName() const override { return "Device"; }
    void Open() override { Record("Open"), TMMCustomSoundComponent::Open(); }
    void Close() override { Record("Close"), TMMCustomSoundComponent::Close(); }
    void Start() override { Record("Start"), TMMCustomSoundComponent::Start(); }
    void Stop() override { Record("Stop"), TMMCustomSoundComponent::Stop(); }
    void Pause() override { Record("Pause"), TMMCustomSoundComponent::Pause(); }
    void SetNumBuffers(int32_t) override {}
    int32_t GetNumBuffers() const override { return 0; }
    void SetDeviceID(int32_t) override {}
    int32_t GetDeviceID() const override { return 0; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return {}; }
    void SetCallBackMode(int) override {}
    int GetCallBackMode() const override { return 0; }

private:
    void Record(const char* what) { log_->push_back(Name() + "." + what); }
    CallLog* log_;
};

WAVEFORMATEX Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

struct ChainTest : ::testing::Test {
    CallLog log; // outlives the links that write to it
    TMMComponentOwner owner;
    Link* Make(const std::string& name, unsigned links = plInput | plOutput) {
        return new Link(&owner, name, &log, links);
    }
};

TEST_F(ChainTest, LinkingSetsBothSidesAndTheirPropertyNames) {
    Link* a = Make("A");
    Link* b = Make("B");
    a->SetOutput(b);
    EXPECT_EQ(a->Output(), b);
    EXPECT_EQ(a->OutputLinkName(), "Input");
    EXPECT_EQ(b->Input(), a);
    EXPECT_EQ(b->InputLinkName(), "Output");

    // Relinking B's input from another link clears A's side only.
    WAVEFORMATEX stereo = Pcm(2, 44100, 16), mono = Pcm(1, 8000, 8);
    a->SetPWaveFormat(&stereo);
    Link* c = Make("C");
    c->SetPWaveFormat(&mono);
    c->SetOutput(b);
    EXPECT_EQ(b->Input(), c);
    EXPECT_EQ(b->InputLinkName(), "Output");
    EXPECT_EQ(a->Output(), nullptr);
    EXPECT_EQ(a->OutputLinkName(), "");
    ASSERT_NE(b->GetPWaveFormat(), nullptr);
    EXPECT_EQ(b->GetPWaveFormat()->nSamplesPerSec, 8000u);
    EXPECT_EQ(a->GetPWaveFormat()->nSamplesPerSec, 44100u);
}

TEST_F(ChainTest, LoopsAndUnlinkableComponentsAreRefusedSilently) {
    Link* a = Make("A");
    Link* b = Make("B");
    Link* c = Make("C");
    a->SetOutput(b);
    b->SetOutput(c);
    Link* inputOnly = Make("InputOnly", plInput);
    Link* outputOnly = Make("OutputOnly", plOutput);

    struct Case {
        const char* what;
        std::function<void()> attempt;
    };
    const Case cases[] = {
        {"A.Output := A", [&] { a->SetOutput(a); }},
        {"A.Input := A", [&] { a->SetInput(a); }},
        {"C.Output := A (A is upstream of C)", [&] { c->SetOutput(a); }},
        {"A.Input := C (C is downstream of A)", [&] { a->SetInput(c); }},
        {"B.Input := C", [&] { b->SetInput(c); }},
        {"C.Output := a link that publishes no Input", [&] { c->SetOutput(outputOnly); }},
        {"A.Input := a link that publishes no Output", [&] { a->SetInput(inputOnly); }},
    };
    for (const Case& item : cases) {
        item.attempt();
        EXPECT_EQ(a->Input(), nullptr) << item.what;
        EXPECT_EQ(a->Output(), b) << item.what;
        EXPECT_EQ(b->Output(), c) << item.what;
        EXPECT_EQ(c->Output(), nullptr) << item.what;
        EXPECT_EQ(outputOnly->Input(), nullptr) << item.what;
        EXPECT_EQ(inputOnly->Output(), nullptr) << item.what;
    }

    // AllowInput lets a component that publishes no Input be linked from upstream.
    outputOnly->AllowInput = true;
    c->SetOutput(outputOnly);
    EXPECT_EQ(outputOnly->Input(), c);
}

TEST_F(ChainTest, FormatsFlowDownAndAreClearedWhenALinkIsCut) {
    Link* a = Make("A");
    Link* b = Make("B");
    Link* c = Make("C");
    a->SetOutput(b);
    b->SetOutput(c);
    WAVEFORMATEX format = Pcm(2, 44100, 16);
    a->SetPWaveFormat(&format);
    ASSERT_NE(c->GetPWaveFormat(), nullptr);
    EXPECT_EQ(std::memcmp(c->GetPWaveFormat(), &format, sizeof(format)), 0);
    EXPECT_NE(c->GetPWaveFormat(), b->GetPWaveFormat()); // each link owns its copy

    a->SetOutput(nullptr);
    EXPECT_EQ(b->GetPWaveFormat(), nullptr);
    EXPECT_EQ(c->GetPWaveFormat(), nullptr);
    EXPECT_NE(a->GetPWaveFormat(), nullptr);
}

TEST_F(ChainTest, OnlyADifferentFormatRecordStopsAStartedLink) {
    Link* a = Make("A");
    WAVEFORMATEX format = Pcm(2, 44100, 16);
    a->SetPWaveFormat(&format);
    a->Open();
    a->Start();
    a->SetPWaveFormat(a->GetPWaveFormat()); // the very record it holds
    EXPECT_TRUE(a->Started());
    WAVEFORMATEX same = format; // equal content, another record
    a->SetPWaveFormat(&same);
    EXPECT_FALSE(a->Started());
}

TEST(FormatCopy, PcmDropsItsExtraBytesAndOtherFormatsKeepThem) {
    WAVEFORMATEX pcm = Pcm(2, 44100, 16);
    pcm.cbSize = 22;
    WAVEFORMATEX* copy = CopyFormat(&pcm);
    EXPECT_EQ(GetFormatSize(copy), 18u);
    EXPECT_EQ(copy->cbSize, 0);
    FreeFormat(copy);

    std::vector<uint8_t> adpcm(18 + 32, 0xAB);
    WAVEFORMATEX header = Pcm(1, 22050, 4);
    header.wFormatTag = WAVE_FORMAT_ADPCM;
    header.cbSize = 32;
    std::memcpy(adpcm.data(), &header, sizeof(header));
    copy = CopyFormat(reinterpret_cast<WAVEFORMATEX*>(adpcm.data()));
    EXPECT_EQ(GetFormatSize(copy), 50u);
    EXPECT_EQ(std::memcmp(copy, adpcm.data(), 50), 0);
    FreeFormat(copy);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(CopyFormat(nullptr), nullptr);
    EXPECT_EQ(GetFormatSize(nullptr), 0u);
}

TEST_F(ChainTest, RealBufferSizeIsRoundedToWholeBlocksAtOpen) {
    struct Case {
        int32_t bufferSize;
        uint16_t blockAlign; // 0: no format
        int32_t expected;
    };
    const Case cases[] = {
        {4096, 4, 4096}, {4096, 6, 4092}, {3, 4, 4}, {4097, 4, 4096}, {1000, 0, 1000}};
    for (const Case& item : cases) {
        Link* link =
            Make("L" + std::to_string(item.bufferSize) + "_" + std::to_string(item.blockAlign));
        WAVEFORMATEX format = Pcm(1, 8000, 8);
        format.nBlockAlign = item.blockAlign;
        if (item.blockAlign != 0)
            link->SetPWaveFormat(&format);
        link->SetBufferSize(item.bufferSize);
        EXPECT_EQ(link->GetBufferSize(), item.bufferSize);
        link->Open();
        EXPECT_EQ(link->GetBufferSize(), item.expected)
            << item.bufferSize << "/" << item.blockAlign;
        link->SetBufferSize(item.bufferSize * 2); // waits for the next Open
        EXPECT_EQ(link->GetBufferSize(), item.expected);
        link->Close();
        EXPECT_EQ(link->GetBufferSize(), item.bufferSize * 2);
    }
}

TEST_F(ChainTest, StateFlagsFollowTheOperations) {
    Link* a = Make("A");
    a->Start();
    EXPECT_FALSE(a->Started()); // not opened
    a->Open();
    a->Start();
    a->Pause();
    EXPECT_TRUE(a->Started() && a->Paused());
    a->Stop();
    EXPECT_FALSE(a->Started() || a->Paused());
    EXPECT_TRUE(a->Opened());
    a->Start();
    a->SetBufferSize(1234); // a new size stops a started link
    EXPECT_FALSE(a->Started());
    a->Close();
    EXPECT_FALSE(a->Opened());
}

TEST_F(ChainTest, TwoDeviceSectionWalks) {
    // D1 -> X -> D2 -> Y
    auto* d1 = new Device(&owner, "D1", &log);
    Link* x = Make("X");
    auto* d2 = new Device(&owner, "D2", &log);
    Link* y = Make("Y");
    d1->SetOutput(x);
    x->SetOutput(d2);
    d2->SetOutput(y);
    d1->SetBufferSize(4000);
    d2->SetBufferSize(100);
    y->SetBufferSize(7);

    log.clear();
    d1->Open();
    EXPECT_EQ(log, (CallLog{"D1.Open", "X.Open", "D2.Open", "Y.Open"}));
    EXPECT_EQ(x->GetBufferSize(), 4000);
    EXPECT_EQ(d2->GetBufferSize(), 4000);
    EXPECT_EQ(y->GetBufferSize(), 4000); // D2 hands on what it was given
    EXPECT_TRUE(d2->UpstreamDevice());
    EXPECT_FALSE(d1->UpstreamDevice());
    EXPECT_TRUE(d1->Opened() && x->Opened() && d2->Opened() && y->Opened());

    log.clear();
    d1->Start();
    EXPECT_EQ(log, (CallLog{"D1.Start", "X.Start", "D2.Start", "Y.Start"}));

    log.clear();
    d1->Stop();
    // D2 first (which stops Y), then the links from the head up to D2, without D2 again.
    EXPECT_EQ(log, (CallLog{"D1.Stop", "D2.Stop", "Y.Stop", "X.Stop"}));

    log.clear();
    d1->Close();
    EXPECT_EQ(log, (CallLog{"D1.Close", "D2.Close", "Y.Close", "X.Close"}));
    EXPECT_FALSE(d1->Opened() || x->Opened() || d2->Opened() || y->Opened());
}

TEST_F(ChainTest, DeviceWalkStartsAtTheHeadOfItsSection) {
    Link* source = Make("Source");
    Link* middle = Make("Middle");
    auto* device = new Device(&owner, "Device", &log);
    Link* monitor = Make("Monitor");
    source->SetOutput(middle);
    middle->SetOutput(device);
    device->SetOutput(monitor);
    log.clear();
    device->Open();
    EXPECT_EQ(log, (CallLog{"Device.Open", "Source.Open", "Middle.Open", "Monitor.Open"}));
    log.clear();
    device->Pause();
    EXPECT_EQ(log, (CallLog{"Device.Pause", "Source.Pause", "Middle.Pause", "Monitor.Pause"}));
}

TEST_F(ChainTest, DestroyingTheMiddleLinkUnlinksBothNeighbours) {
    Link* a = Make("A");
    Link* b = Make("B");
    Link* c = Make("C");
    a->SetOutput(b);
    b->SetOutput(c);
    WAVEFORMATEX format = Pcm(2, 44100, 16);
    a->SetPWaveFormat(&format);
    ASSERT_NE(c->GetPWaveFormat(), nullptr);
    DestroyComponent(b);
    EXPECT_EQ(a->Output(), nullptr);
    EXPECT_EQ(c->Input(), nullptr);
    EXPECT_EQ(c->GetPWaveFormat(), nullptr);
    EXPECT_NE(a->GetPWaveFormat(), nullptr);
    EXPECT_EQ(owner.Components().size(), 2u);
}

TEST_F(ChainTest, PullAndPushTravelTheChainByReference) {
    Link* source = Make("Source");
    Link* device = Make("Device");
    Link* monitor = Make("Monitor");
    source->SetOutput(device);
    device->SetOutput(monitor);
    char data[16] = {};
    TMMChainHdr header{};
    header.lpData = data;
    header.dwBufferLength = sizeof(data);
    source->OnBufferLoad = [&](TObject*, PMMChainHdr hdr, bool& more) {
        std::memset(hdr->lpData, 7, hdr->dwBufferLength);
        hdr->dwBytesRecorded = hdr->dwBufferLength;
        more = true;
    };
    bool more = false;
    device->BufferLoad(&header, more);
    EXPECT_TRUE(more);
    EXPECT_EQ(header.dwBytesRecorded, sizeof(data));
    EXPECT_EQ(data[15], 7);

    std::vector<PMMChainHdr> seen;
    monitor->OnBufferReady = [&](TObject*, PMMChainHdr hdr) { seen.push_back(hdr); };
    device->BufferReady(&header);
    EXPECT_EQ(seen, std::vector<PMMChainHdr>{&header});

    // A link with neither Input nor OnBufferLoad leaves the record as the puller prepared it.
    TMMChainHdr empty{};
    more = false;
    Make("Lonely")->BufferLoad(&empty, more);
    EXPECT_EQ(empty.dwBytesRecorded, 0u);
    EXPECT_FALSE(more);
}

// ---- loading from a description ---------------------------------------------------------

class DescribedLink : public Link {
public:
    explicit DescribedLink(TMMComponentOwner* owner) : Link(owner, "") {}
    const char* ClassName() const override { return "DescribedLink"; }
};

TEST(ChainLoading, AppliesPropertiesAndLinksThenAnnouncesFormats) {
    RegisterComponentClass("DescribedLink", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new DescribedLink(owner);
    });
    TMMComponentOwner owner;
    // The monitor is described before the source it links to.
    TComponentsDescription description{
        {{"DescribedLink", "Monitor", {}},
         {"DescribedLink", "Source", {{"BufferSize", int64_t{4096}}}},
         {"DescribedLink", "Sink", {}}},
        {{"Source", "Output", "Sink"}, {"Monitor", "Input", "Sink"}},
    };
    owner.Load(description);
    auto* source = owner.Find<DescribedLink>("Source");
    auto* sink = owner.Find<DescribedLink>("Sink");
    auto* monitor = owner.Find<DescribedLink>("Monitor");
    ASSERT_TRUE(source && sink && monitor);
    EXPECT_EQ(source->BufferSize(), 4096);
    EXPECT_EQ(source->Output(), sink);
    EXPECT_EQ(sink->Output(), monitor);
    EXPECT_FALSE(source->IsLoading());

    WAVEFORMATEX format = Pcm(2, 44100, 16);
    source->SetPWaveFormat(&format);
    EXPECT_NE(monitor->GetPWaveFormat(), nullptr);

    EXPECT_THROW(owner.Load({{{"NoSuchClass", "X", {}}}, {}}), std::invalid_argument);
    EXPECT_THROW(owner.Load({{{"DescribedLink", "Y", {{"Nope", int64_t{1}}}}}, {}}),
                 std::invalid_argument);
    EXPECT_FALSE(owner.FindComponent("Y")->IsLoading());
}

TEST(ChainLoading, FormatsHeldWhileLoadingAreAnnouncedByLoaded) {
    TMMComponentOwner owner;
    auto* source = new Link(&owner, "Source");
    auto* sink = new Link(&owner, "Sink");
    source->BeginLoading();
    sink->BeginLoading();
    WAVEFORMATEX format = Pcm(1, 22050, 16);
    source->SetPWaveFormat(&format);
    source->SetOutput(sink);
    EXPECT_EQ(sink->GetPWaveFormat(), nullptr); // suppressed while loading
    source->Loaded();
    sink->Loaded();
    ASSERT_NE(sink->GetPWaveFormat(), nullptr);
    EXPECT_EQ(sink->GetPWaveFormat()->nSamplesPerSec, 22050u);
}

// ---- objects, observers ------------------------------------------------------------------

TEST(MMObject, ChangeEventsFollowTheUpdateCount) {
    TMMObject object;
    std::vector<std::string> events;
    object.OnChanging = [&](TObject*) { events.push_back("changing"); };
    object.OnChange = [&](TObject*) { events.push_back("change"); };
    object.BeginUpdate();
    object.BeginUpdate();
    object.EndUpdate();
    object.EndUpdate();
    EXPECT_EQ(events, (std::vector<std::string>{"changing", "change"}));

    events.clear();
    object.EndUpdate(); // unmatched: the count goes to -1 and the handlers stay silent
    EXPECT_EQ(object.UpdateCount(), -1);
    object.BeginUpdate(); // back to 0
    EXPECT_TRUE(events.empty());
    object.BeginUpdate();
    EXPECT_EQ(events, std::vector<std::string>{"changing"});
}

TEST(MMObservers, NotifyLastAddedFirstAndDetachOnDestruction) {
    TMMObservable first, second;
    std::vector<int> order;
    TMMObserver one, two;
    one.OnNotify = [&](TMMObserver*, TObject*) { order.push_back(1); };
    two.OnNotify = [&](TMMObserver*, TObject*) { order.push_back(2); };
    first.AddObserver(&one);
    first.AddObserver(&two);
    first.NotifyObservers(nullptr);
    EXPECT_EQ(order, (std::vector<int>{2, 1}));

    second.AddObserver(&one); // moves it
    EXPECT_EQ(first.ObserverCount(), 1u);
    EXPECT_EQ(one.Observable(), &second);
    first.RemoveObserver(&one); // not its observer: nothing happens
    EXPECT_EQ(one.Observable(), &second);
    {
        TMMObserver temporary;
        second.AddObserver(&temporary);
    }
    EXPECT_EQ(second.ObserverCount(), 1u);
}

// ---- device threads ----------------------------------------------------------------------

class RecordingThread : public TMMDSPThread {
public:
    using TMMDSPThread::TMMDSPThread;
    ~RecordingThread() override {
        Terminate();
        WaitFor();
    }
    std::function<void()> body;

protected:
    void Execute() override { body(); }
};

TEST(DeviceThreads, SynchronizeRunsOnTheMainThreadOnlyForRegisteredThreads) {
    QThread* mainThread = QCoreApplication::instance()->thread();
    QThread* ranOn = nullptr;
    auto method = [&] { ranOn = QThread::currentThread(); };

    DSPSynchronize(method);
    EXPECT_EQ(ranOn, mainThread);

    {
        RecordingThread device(nullptr);
        EXPECT_EQ(DSPThreadCount(), 1u);
        device.body = [&] { DSPSynchronize(method); };
        device.Resume();
        ASSERT_TRUE(device.WaitFor(10000)); // the wait serves the synchronised call
        EXPECT_EQ(ranOn, mainThread);
    }
    EXPECT_EQ(DSPThreadCount(), 0u);

    // An unregistered thread runs the method itself.
    std::thread plain([&] { DSPSynchronize(method); });
    plain.join();
    EXPECT_NE(ranOn, mainThread);
}

TEST(MessageTable, HoldsTheNumberedTexts) {
    EXPECT_EQ(LoadResStr(SChangeWhileOpen), "Change to property while device was open");
    EXPECT_EQ(LoadResStr(SCannotPlayFormat), "The actual device can''t play this format");
    EXPECT_EQ(LoadResStr(SNoPlayingDevice), "No wave audio playing device found");
    EXPECT_EQ(LoadResStr(27999), "");
}

} // namespace
