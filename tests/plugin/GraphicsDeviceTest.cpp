// Plugin load and unload, device events and the render event, with the host's interfaces faked
// and, where a real backend is needed, a real headless OpenGL context.
#include "EglContext.h"
#include "GraphicsDevice.h"
#include "HostSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// The host's interface registry and graphics interface, reporting one renderer.
class FakeHost {
  public:
    explicit FakeHost(UnityGfxRenderer renderer, bool offersGraphics = true) {
        current = this;
        renderer_ = renderer;
        offersGraphics_ = offersGraphics;
    }
    ~FakeHost() { current = nullptr; }

    IUnityInterfaces* interfaces() { return &interfaces_; }
    std::vector<IUnityGraphicsDeviceEventCallback> registered;
    std::vector<IUnityGraphicsDeviceEventCallback> unregistered;
    UnityGfxRenderer renderer_;

  private:
    static IUnityInterface* getInterface(UnityInterfaceGUID guid) {
        const UnityInterfaceGUID graphics = UnityInterfaceTraits<IUnityGraphics>::guid();
        const bool isGraphics =
            guid.m_GUIDHigh == graphics.m_GUIDHigh && guid.m_GUIDLow == graphics.m_GUIDLow;
        return isGraphics && current->offersGraphics_ ? &current->graphics_ : nullptr;
    }
    static IUnityInterface* getInterfaceSplit(unsigned long long high, unsigned long long low) {
        return getInterface(UnityInterfaceGUID{high, low});
    }
    static void registerInterface(UnityInterfaceGUID, IUnityInterface*) {}
    static void registerInterfaceSplit(unsigned long long, unsigned long long, IUnityInterface*) {}
    static UnityGfxRenderer getRenderer() { return current->renderer_; }
    static void registerCallback(IUnityGraphicsDeviceEventCallback callback) {
        current->registered.push_back(callback);
    }
    static void unregisterCallback(IUnityGraphicsDeviceEventCallback callback) {
        current->unregistered.push_back(callback);
    }
    static int reserveEventIdRange(int) { return 0; }

    static inline FakeHost* current = nullptr;
    bool offersGraphics_ = true;
    IUnityInterfaces interfaces_{&getInterface, &registerInterface, &getInterfaceSplit,
                                 &registerInterfaceSplit};
    IUnityGraphics graphics_{&getRenderer, &registerCallback, &unregisterCallback,
                             &reserveEventIdRange};
};

struct Upload {
    void* texture;
    int width;
    int height;
    int rowPitch;
    const void* data;
    std::vector<uint8_t> pixels;  // what the texture receives
};

// A backend that records what it is asked to do.
class RecordingBackend : public hosttest::NullBackend {
  public:
    explicit RecordingBackend(bool* destroyed = nullptr) : destroyed_(destroyed) {}
    ~RecordingBackend() override {
        if (destroyed_) {
            *destroyed_ = true;
        }
    }
    void ProcessDeviceEvent(UnityGfxDeviceEventType type, IUnityInterfaces*) override {
        events.push_back(type);
    }
    void BeginModifyTexture2() override { ++begins; }
    void EndModifyTexture2(void* texture, int width, int height, int rowPitch,
                           void* data) override {
        const auto* bytes = static_cast<const uint8_t*>(data);
        uploads.push_back({texture, width, height, rowPitch, data,
                           std::vector<uint8_t>(bytes, bytes + size_t(rowPitch) * height)});
    }

    std::vector<int> events;
    std::vector<Upload> uploads;
    int begins = 0;

  private:
    bool* destroyed_;
};

void* textureHandle(uint8_t id) {
    return reinterpret_cast<void*>(uintptr_t(0x1000 + id));
}

class RenderEvent : public testing::Test {
  protected:
    void SetUp() override {
        backend_ = new RecordingBackend;
        s_CurrentAPI.reset(backend_);
    }
    void TearDown() override {
        for (uint8_t id : started_) {
            H264Decoder_stop(id);
        }
        s_CurrentAPI.reset();
    }
    void startBound(uint8_t id, int width, int height) {
        ASSERT_TRUE(hosttest::start(id, "{}"));
        started_.push_back(id);
        ASSERT_TRUE(
            hosttest::bind(id, textureHandle(id), hosttest::textureDescription(width, height)));
    }
    void renderEvent(int eventId = 1) { H264Decoder_nativeRenderEventFunc()(eventId); }

    RecordingBackend* backend_ = nullptr;
    std::vector<uint8_t> started_;
};

TEST_F(RenderEvent, UploadsEveryBoundInstanceInAscendingIdOrder) {
    startBound(200, 16, 8);
    startBound(0, 32, 2);
    startBound(255, 4, 4);
    ASSERT_TRUE(hosttest::start(7, "{}"));  // no texture bound: no upload
    started_.push_back(7);

    renderEvent();
    ASSERT_EQ(backend_->uploads.size(), 3u);
    EXPECT_EQ(backend_->begins, 3);
    const std::vector<std::pair<uint8_t, int>> expected = {{0, 32}, {200, 16}, {255, 4}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const Upload& upload = backend_->uploads[i];
        EXPECT_EQ(upload.texture, textureHandle(expected[i].first));
        EXPECT_EQ(upload.width, expected[i].second);
        EXPECT_EQ(upload.rowPitch, expected[i].second * 4);
        EXPECT_NE(upload.data, nullptr);
    }
    EXPECT_EQ(backend_->uploads[0].height, 2);
}

// Whatever its id, a render event uploads a texture only when it was bound since the last event
// or its instance has a picture no event has uploaded yet; of pictures that came in between,
// the newest, and the others are counted as replaced.
TEST_F(RenderEvent, UploadsOnlyWhatIsNewWhateverTheEventId) {
    startBound(3, 8, 8);
    H264Decoder& instance = *h264_execs.at(3);
    auto deliver = [&](uint8_t value) {
        const std::vector<uint8_t> picture(8 * 8 * 4, value);
        instance.copyRenderData(picture.data(), 0, 8, 8, 32, 0, 0, 0, 0);
    };
    for (int eventId : {0, 1, -1, 12345}) {
        SCOPED_TRACE(eventId);
        ASSERT_TRUE(hosttest::bind(3, textureHandle(3), hosttest::textureDescription(8, 8)));
        const struct {
            const char* rule;
            std::vector<uint8_t> pictures;  // delivered before the event
            size_t uploads;
        } events[] = {
            {"bound since the last event", {}, 1}, {"nothing new", {}, 0},
            {"one new picture", {7}, 1},           {"two new pictures: the newest", {8, 9}, 1},
            {"nothing new again", {}, 0},
        };
        for (const auto& event : events) {
            backend_->uploads.clear();
            for (uint8_t value : event.pictures) {
                deliver(value);
            }
            renderEvent(eventId);
            ASSERT_EQ(backend_->uploads.size(), event.uploads) << event.rule;
            if (!event.pictures.empty()) {
                EXPECT_EQ(backend_->uploads[0].pixels,
                          std::vector<uint8_t>(8 * 8 * 4, event.pictures.back()))
                    << event.rule;
            }
        }
    }
    EXPECT_EQ(hosttest::statisticsOf(3).dropped("textureBusy"), 4u) << "one per round";
}

TEST_F(RenderEvent, SkipsAnInstanceWhosePictureCopyHoldsTheTextureAndUploadsItNextTime) {
    startBound(1, 8, 8);
    startBound(2, 8, 8);
    std::mutex* texMutex = h264_execs.at(2)->texCfg.texMutex.get();

    // Another thread stands for the decode output copying a picture.
    std::atomic<bool> held{false}, release{false};
    std::thread copier([&] {
        std::lock_guard<std::mutex> lock(*texMutex);
        held = true;
        while (!release) {
            std::this_thread::yield();
        }
    });
    while (!held) {
        std::this_thread::yield();
    }
    renderEvent();
    release = true;
    copier.join();
    ASSERT_EQ(backend_->uploads.size(), 1u);
    EXPECT_EQ(backend_->uploads[0].texture, textureHandle(1));

    backend_->uploads.clear();
    renderEvent();
    ASSERT_EQ(backend_->uploads.size(), 1u) << "instance 1 has nothing new";
    EXPECT_EQ(backend_->uploads[0].texture, textureHandle(2));
}

// The frame buffer of a new binding holds no memory the plugin did not write, even where the
// allocator hands back the host's freed, marked memory: opaque black until the first picture.
TEST_F(RenderEvent, ATextureBoundBeforeAnyPictureShowsOpaqueBlack) {
    constexpr int kWidth = 1280, kHeight = 720;
    for (int round = 0; round < 2; ++round) {
        std::vector<uint8_t> marked(size_t(kWidth) * kHeight * 4, 0xAB);
        marked.clear();
        marked.shrink_to_fit();
    }
    startBound(4, kWidth, kHeight);
    renderEvent();
    ASSERT_EQ(backend_->uploads.size(), 1u);
    const std::vector<uint8_t>& pixels = backend_->uploads[0].pixels;
    ASSERT_EQ(pixels.size(), size_t(kWidth) * kHeight * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        ASSERT_EQ(std::vector<uint8_t>(pixels.begin() + i, pixels.begin() + i + 4),
                  (std::vector<uint8_t>{0, 0, 0, 255}))
            << "pixel " << i / 4;
    }
}

TEST_F(RenderEvent, UploadsNothingWithoutBackendOrInstances) {
    renderEvent();
    EXPECT_TRUE(backend_->uploads.empty());
    EXPECT_EQ(backend_->begins, 0);

    startBound(9, 8, 8);
    s_CurrentAPI.reset();
    renderEvent();  // must neither crash nor wait
    ASSERT_TRUE(h264_execMutex.try_lock()) << "the registry lock stayed held";
    h264_execMutex.unlock();
}

TEST(RenderEventFunction, IsTheSameFunctionEveryTime) {
    const H264DecoderRenderEventFunc first = H264Decoder_nativeRenderEventFunc();
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(hosttest::start(42, "{}"));
    EXPECT_EQ(H264Decoder_nativeRenderEventFunc(), first);
    H264Decoder_stop(42);
    EXPECT_EQ(H264Decoder_nativeRenderEventFunc(), first);
}

class DeviceLifecycle : public testing::Test {
  protected:
    void TearDown() override {
        s_CurrentAPI.reset();
        s_UnityInterfaces = nullptr;
        s_Graphics = nullptr;
    }
};

TEST_F(DeviceLifecycle, LoadRegistersAndMakesTheBackendUnloadOnlyUnregisters) {
    std::string whyNot;
    auto context = headlessgl::EglContext::create(kUnityGfxRendererOpenGLCore, &whyNot);
    ASSERT_TRUE(context) << whyNot;
    FakeHost host(kUnityGfxRendererOpenGLCore);

    UnityPluginLoad(host.interfaces());
    ASSERT_EQ(host.registered.size(), 1u);
    EXPECT_EQ(s_UnityInterfaces, host.interfaces());
    ASSERT_TRUE(s_CurrentAPI);
    RenderAPI* loaded = s_CurrentAPI.get();

    host.registered[0](kUnityGfxDeviceEventBeforeReset);
    host.registered[0](kUnityGfxDeviceEventAfterReset);
    host.registered[0](static_cast<UnityGfxDeviceEventType>(77));
    EXPECT_EQ(s_CurrentAPI.get(), loaded) << "other events keep the backend";

    UnityPluginUnload();
    ASSERT_EQ(host.unregistered.size(), 1u);
    EXPECT_EQ(host.unregistered[0], host.registered[0]);
    EXPECT_EQ(s_CurrentAPI.get(), loaded) << "unload leaves the backend in place";

    host.registered[0](kUnityGfxDeviceEventShutdown);
    EXPECT_FALSE(s_CurrentAPI);
    host.registered[0](kUnityGfxDeviceEventShutdown);
    EXPECT_FALSE(s_CurrentAPI);
    host.registered[0](kUnityGfxDeviceEventInitialize);
    EXPECT_TRUE(s_CurrentAPI);
}

TEST_F(DeviceLifecycle, EventsReachTheBackendShutdownLastThenItIsDestroyed) {
    FakeHost host(kUnityGfxRendererOpenGLCore);
    s_Graphics = host.interfaces()->Get<IUnityGraphics>();
    bool destroyed = false;
    auto* backend = new RecordingBackend(&destroyed);
    s_CurrentAPI.reset(backend);
    OnGraphicsDeviceEvent(kUnityGfxDeviceEventAfterReset);
    OnGraphicsDeviceEvent(kUnityGfxDeviceEventBeforeReset);
    EXPECT_EQ(backend->events, (std::vector<int>{3, 2}));
    OnGraphicsDeviceEvent(kUnityGfxDeviceEventShutdown);
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(s_CurrentAPI);
}

TEST_F(DeviceLifecycle, InitializeWhileABackendIsCurrentReplacesAndDestroysIt) {
    FakeHost host(static_cast<UnityGfxRenderer>(4));  // a renderer without a backend
    s_Graphics = host.interfaces()->Get<IUnityGraphics>();
    bool destroyed = false;
    s_CurrentAPI.reset(new RecordingBackend(&destroyed));
    OnGraphicsDeviceEvent(kUnityGfxDeviceEventInitialize);
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(s_CurrentAPI) << "no backend for that renderer";
}

TEST_F(DeviceLifecycle, UnsupportedRendererOrNoGraphicsInterfaceLeavesNoBackend) {
    {
        FakeHost host(static_cast<UnityGfxRenderer>(2));
        UnityPluginLoad(host.interfaces());
        EXPECT_FALSE(s_CurrentAPI);
        EXPECT_EQ(host.registered.size(), 1u);
        UnityPluginUnload();
    }
    {
        FakeHost host(kUnityGfxRendererOpenGLCore, /*offersGraphics=*/false);
        UnityPluginLoad(host.interfaces());
        EXPECT_FALSE(s_CurrentAPI);
        EXPECT_TRUE(host.registered.empty());
        UnityPluginUnload();
        EXPECT_TRUE(host.unregistered.empty());
    }
    UnityPluginLoad(nullptr);
    EXPECT_FALSE(s_CurrentAPI);
    H264Decoder_nativeRenderEventFunc()(0);  // uploads nothing, takes and releases the lock
}

}  // namespace
