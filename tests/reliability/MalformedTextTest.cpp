// Texts no host should send but any host can: JSON nested deeper than any stack allows must
// read like any other malformed JSON (no members, defaults), not end the host's process.
#include "HostProcess.h"
#include "PluginLibrary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr size_t kDepth = 1000000;

std::unique_ptr<PluginLibrary> openPlugin() {
    testsupport::keepObjectiveCRuntimeLoaded();
    std::string error;
    auto library = PluginLibrary::open(PLUGIN_MODULE_PATH, &error);
    EXPECT_TRUE(library) << error;
    return library;
}

TEST(MalformedTexts, DeeplyNestedConfigurationStartsWithDefaults) {
    const auto library = openPlugin();
    ASSERT_TRUE(library);
    const std::u16string nested(kDepth, u'[');
    EXPECT_TRUE(library->api().start(3, nested.c_str()));
    library->api().stop(3);
}

TEST(MalformedTexts, DeeplyNestedTextureDescriptionIsAcceptedAndChangesNothing) {
    const auto library = openPlugin();
    ASSERT_TRUE(library);
    const PluginEntryPoints& api = library->api();
    ASSERT_TRUE(api.start(4, u"{}"));
    std::u16string nested;
    for (size_t level = 0; level < kDepth / 8; ++level) {
        nested += u"{\"width\":";
    }
    int texture = 0;
    EXPECT_TRUE(api.setNativeTexturePointer(4, &texture, nested.c_str()));
    api.stop(4);
}

}  // namespace
