#pragma once
// Files compiled into halyard-demo (demo/embed_resources.cmake): the built-in
// scenario "scenario.json" and the demo branding of scripts/demo-assets
// (device icons, logos, the vendor list).
#include <cstddef>
#include <string_view>

struct DemoResource {
    const char* name;
    const unsigned char* data;
    size_t size;
    std::string_view bytes() const { return {reinterpret_cast<const char*>(data), size}; }
};

extern const DemoResource kDemoResources[];
extern const size_t kDemoResourceCount;

// The resource called `name`, or null.
inline const DemoResource* findDemoResource(std::string_view name) {
    for (size_t i = 0; i < kDemoResourceCount; ++i)
        if (kDemoResources[i].name == name)
            return &kDemoResources[i];
    return nullptr;
}
