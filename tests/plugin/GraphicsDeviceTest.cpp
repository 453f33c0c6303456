// Plugin load and unload, device events and the render event, with the host simulator's
// interfaces and, where a real backend is made, a real headless OpenGL context.
#include "EglContext.h"
#include "HostSupport.h"
#include "SimulatedHostInterfaces.h"

#include <map>

using namespace hosttest;

namespace {

constexpr auto kOpenGL = kUnityGfxRendererOpenGLCore;
constexpr auto kWithoutBackend = UnityGfxRenderer(4);  // a renderer no backend serves
constexpr int kDestroyed = -1;

// A backend that logs the device events it is given, and its own end.
struct EventLog : RecordingBackend {
    explicit EventLog(std::vector<int>& events) : log(events) {}
    ~EventLog() override { log.push_back(kDestroyed); }
    void ProcessDeviceEvent(UnityGfxDeviceEventType type, IUnityInterfaces*) override {
        log.push_back(type);
    }
    std::vector<int>& log;
};

// A load registers for device events and makes the backend of the host's renderer, none for a
// host that offers no graphics; an unload only unregisters. Every event reaches the current
// backend; shutdown ends it after its event, initialize replaces it with the backend of the
// renderer the host now reports.
TEST(DeviceLifecycle, TheBackendFollowsTheHostsRendererAndDeviceEvents) {
    std::string whyNot;
    const auto context = headlessgl::EglContext::create(kOpenGL, &whyNot);
    ASSERT_TRUE(context) << whyNot;
    UnityPluginLoad(nullptr);
    EXPECT_FALSE(s_CurrentAPI);
    UnityPluginUnload();

    enum After { Same, None, New };
    const struct {
        UnityGfxDeviceEventType event;
        UnityGfxRenderer renderer;
        bool backendBefore;
        std::vector<int> log;
        After after;
    } events[] = {
        {UnityGfxDeviceEventType(77), kOpenGL, true, {77}, Same},
        {kUnityGfxDeviceEventShutdown, kOpenGL, true, {1, kDestroyed}, None},
        {kUnityGfxDeviceEventShutdown, kWithoutBackend, false, {}, None},
        {kUnityGfxDeviceEventInitialize, kOpenGL, true, {kDestroyed}, New},
        {kUnityGfxDeviceEventInitialize, kWithoutBackend, true, {kDestroyed}, None},
    };
    for (const auto& row : events) {
        SCOPED_TRACE(testing::Message() << "event " << row.event << ", renderer " << row.renderer
                                        << (row.backendBefore ? ", with a backend" : ""));
        SimulatedHostInterfaces host(row.renderer);
        UnityPluginLoad(host.interfaces());
        EXPECT_EQ(bool(s_CurrentAPI), row.renderer == kOpenGL) << "the load's backend";
        std::vector<int> log;
        s_CurrentAPI.reset(row.backendBefore ? new EventLog(log) : nullptr);
        const RenderAPI* const before = s_CurrentAPI.get();
        host.sendDeviceEvent(row.event);
        EXPECT_EQ(log, row.log);
        const RenderAPI* const after = s_CurrentAPI.get();
        EXPECT_EQ(!after ? None : after == before ? Same : New, row.after);
        UnityPluginUnload();
        EXPECT_EQ(host.registeredCallbackCount(), 0u);
        EXPECT_EQ(s_CurrentAPI.get(), after) << "unload leaves the backend";
        s_CurrentAPI.reset();
    }
}

void* textureOf(uint8_t id) {
    return reinterpret_cast<void*>(uintptr_t(0x1000 + id));
}

// Whatever its id, a render event uploads, in ascending id order, each texture bound since the
// last event and each that has a picture no event has uploaded yet: of the pictures that came in
// between, the newest. A texture whose state a picture copy holds that instant is skipped and
// uploaded by the next event. A new binding shows opaque black, even where the allocator hands
// back memory the host freed after marking it.
TEST(RenderEvent, UploadsWhatIsNewInAscendingIdOrder) {
    auto* backend = new RecordingBackend;
    s_CurrentAPI.reset(backend);
    for (int round = 0; round < 2; ++round) {
        std::vector<uint8_t> marked(size_t(1280) * 720 * 4, 0xAB);
        marked.clear();
        marked.shrink_to_fit();
    }
    const std::map<uint8_t, std::pair<int, int>> sizes = {
        {200, {16, 8}}, {3, {8, 8}}, {255, {1280, 720}}, {7, {0, 0}}};
    for (const auto& [id, size] : sizes) {
        ASSERT_TRUE(start(id, "{}"));
        if (size.first > 0) {  // instance 7 has no texture, and no upload
            ASSERT_TRUE(bind(id, textureOf(id), textureDescription(size.first, size.second)));
        }
    }
    constexpr int kBlack = -1;
    const struct {
        int eventId;
        std::map<uint8_t, std::vector<int>> delivered;  // pictures delivered before the event
        int heldId;                                     // whose texture state is held
        std::map<uint8_t, int> shown;
    } events[] = {
        {1, {}, -1, {{3, kBlack}, {200, kBlack}, {255, kBlack}}},
        {-1, {{3, {7}}}, -1, {{3, 7}}},
        {12345, {{3, {8, 9}}, {200, {5}}}, -1, {{3, 9}, {200, 5}}},
        {1, {{3, {10}}, {200, {6}}}, 200, {{3, 10}}},
        {2, {}, -1, {{200, 6}}},
        {3, {}, -1, {}},
    };
    const auto pixels = [&](uint8_t id, int value) {
        const auto [width, height] = sizes.at(id);
        return value == kBlack ? opaqueBlack(width, height)
                               : std::vector<uint8_t>(size_t(width) * height * 4, uint8_t(value));
    };
    for (const auto& event : events) {
        for (const auto& [id, values] : event.delivered) {
            const int width = sizes.at(id).first, height = sizes.at(id).second;
            for (int value : values) {
                h264_execs.at(id)->copyRenderData(pixels(id, value).data(), 0, width, height,
                                                  width * 4, 0, 0, 0, 0);
            }
        }
        std::vector<RecordingBackend::Upload> expected;
        for (const auto& [id, value] : event.shown) {
            const int width = sizes.at(id).first, height = sizes.at(id).second;
            expected.emplace_back(textureOf(id), width, height, width * 4,
                                  testsupport::md5Hex({width, height, pixels(id, value)}));
        }
        // Another thread stands for the decode output copying a picture.
        Hold copying;
        std::future<void> copier;
        if (event.heldId >= 0) {
            copier = std::async(std::launch::async, [&, id = uint8_t(event.heldId)] {
                std::lock_guard<std::mutex> lock(*h264_execs.at(id)->texCfg.texMutex);
                copying();
            });
            copying.entered().wait();
        }
        H264Decoder_nativeRenderEventFunc()(event.eventId);
        EXPECT_EQ(backend->takeUploads(), expected) << "event " << event.eventId;
        copying.released.set_value();
    }
    EXPECT_EQ(statisticsOf(3).dropped("textureBusy"), 1u) << "picture 8";

    // Without a backend the event uploads nothing and leaves no lock held.
    s_CurrentAPI.reset();
    H264Decoder_nativeRenderEventFunc()(0);
    ASSERT_TRUE(h264_execMutex.try_lock());
    h264_execMutex.unlock();
    for (const auto& [id, size] : sizes) {
        H264Decoder_stop(id);
    }
}

}  // namespace
