#include "RenderThread.h"

#include "EglContext.h"

#include <chrono>
#include <exception>
#include <stdexcept>

namespace reliability {

namespace {

// Never torn down, as a host's contexts live as long as the host: Mesa's driver then stays loaded
// to the end of the process, and what the driver keeps is not the plugin's to return.
void keepForTheProcess(headlessgl::EglContext* context) {
    static auto* const contexts = new std::vector<headlessgl::EglContext*>;
    contexts->push_back(context);
}

}  // namespace

RenderThread::RenderThread(const PluginEntryPoints& api, SimulatedHostInterfaces& host,
                           WatchedLane& lane)
    : api_(api), host_(host), lane_(lane), thread_(&RenderThread::main, this) {}

RenderThread::~RenderThread() {
    stop();
}

bool RenderThread::ready(std::string* whyNot) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return state_ != State::Starting; });
    *whyNot = whyNot_;
    return state_ == State::Running;
}

void RenderThread::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::Running) {
            state_ = State::Stopping;
        }
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void* RenderThread::createTexture(int width, int height) {
    void* handle = nullptr;
    runOnThread([&] {
        textures_.push_back(std::make_unique<HostTexture>(width, height));
        handle = textures_.back()->nativeHandle();
    });
    return handle;
}

std::vector<uint8_t> RenderThread::readTexture(void* texture) {
    std::vector<uint8_t> pixels;
    runOnThread([&] {
        api_.nativeRenderEventFunc()(0);
        pixels = textureOf(texture).readPixels();
    });
    return pixels;
}

HostTexture& RenderThread::textureOf(void* handle) {
    for (const auto& texture : textures_) {
        if (texture->nativeHandle() == handle) {
            return *texture;
        }
    }
    throw std::invalid_argument("not a texture of this render thread");
}

void RenderThread::runOnThread(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ != State::Running) {
        throw std::logic_error("the render thread is not running");
    }
    std::exception_ptr failure;
    tasks_.push_back([&task, &failure] {
        try {
            task();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    const uint64_t ticket = ++tasksPosted_;
    changed_.wait(lock, [&] { return tasksDone_ >= ticket; });
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void RenderThread::main() {
    std::string whyNot;
    headlessgl::EglContext* const context =
        headlessgl::EglContext::create(kUnityGfxRendererOpenGLCore, &whyNot).release();
    keepForTheProcess(context);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = context != nullptr ? State::Running : State::Failed;
        whyNot_ = whyNot;
    }
    if (context) {
        // The plugin creates its backend's objects on this thread, in this context.
        api_.UnityPluginLoad(host_.interfaces());
    }
    changed_.notify_all();
    if (!context) {
        lane_.finish();
        return;
    }
    renderUntilStopped();
    shutDown();
}

void RenderThread::renderUntilStopped() {
    const H264DecoderRenderEventFunc renderEvent = api_.nativeRenderEventFunc();
    for (;;) {
        runPendingTasks();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == State::Stopping) {
                return;
            }
        }
        lane_.enter("render event", -1);
        renderEvent(int(renderEvents_.load()));
        lane_.leave();
        ++renderEvents_;
        // A host renders frames, not a busy loop: leave the registry to the script threads.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

void RenderThread::runPendingTasks() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks.swap(tasks_);
    }
    for (auto& task : tasks) {
        lane_.enter("host texture work", -1);
        task();
        lane_.leave();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasksDone_ += tasks.size();
    }
    changed_.notify_all();
}

void RenderThread::shutDown() {
    lane_.enter("Shutdown device event and UnityPluginUnload", -1);
    host_.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
    api_.UnityPluginUnload();
    textures_.clear();
    lane_.leave();
    lane_.finish();
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::Stopped;
}

}  // namespace reliability
