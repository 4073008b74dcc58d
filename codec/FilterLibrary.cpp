#include "codec/FilterLibrary.h"

#include <dlfcn.h>

#include <atomic>

extern "C" {
#include <libavfilter/version.h>
#include <libavutil/macros.h>
}

#include "support/Log.h"

namespace kva_audioplayer {

namespace {

// The major version the headers describe: another one would have another ABI.
constexpr const char* kSoname = "libavfilter.so." AV_STRINGIFY(LIBAVFILTER_VERSION_MAJOR);

std::atomic<bool> gLoaded{false};

template <typename T>
bool Resolve(void* handle, const char* name, T* out) {
    *out = reinterpret_cast<T>(dlsym(handle, name));
    if (!*out) KVA_LOG(kLogError, "FilterLibrary: %s has no %s", kSoname, name);
    return *out != nullptr;
}

const FilterLibrary* Load() {
    // Never unloaded: filter graphs may live until the process ends.
    void* h = dlopen(kSoname, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = dlerror();
        KVA_LOG(kLogError, "FilterLibrary: cannot load %s: %s", kSoname, why ? why : "?");
        return nullptr;
    }
    static FilterLibrary lib;
    bool ok = Resolve(h, "avfilter_get_by_name", &lib.get_by_name) &&
              Resolve(h, "avfilter_graph_alloc", &lib.graph_alloc) &&
              Resolve(h, "avfilter_graph_free", &lib.graph_free) &&
              Resolve(h, "avfilter_graph_alloc_filter", &lib.graph_alloc_filter) &&
              Resolve(h, "avfilter_graph_create_filter", &lib.graph_create_filter) &&
              Resolve(h, "avfilter_graph_config", &lib.graph_config) &&
              Resolve(h, "avfilter_graph_send_command", &lib.graph_send_command) &&
              Resolve(h, "avfilter_init_str", &lib.init_str) &&
              Resolve(h, "avfilter_link", &lib.link) &&
              Resolve(h, "av_buffersrc_parameters_alloc", &lib.buffersrc_parameters_alloc) &&
              Resolve(h, "av_buffersrc_parameters_set", &lib.buffersrc_parameters_set) &&
              Resolve(h, "av_buffersrc_add_frame_flags", &lib.buffersrc_add_frame_flags) &&
              Resolve(h, "av_buffersink_get_frame", &lib.buffersink_get_frame);
    if (!ok) return nullptr;
    KVA_LOG(kLogTrace, "FilterLibrary: %s loaded", kSoname);
    gLoaded.store(true, std::memory_order_release);
    return &lib;
}

}  // namespace

const FilterLibrary* LoadFilterLibrary() {
    static const FilterLibrary* const lib = Load();
    return lib;
}

bool FilterLibraryLoaded() { return gLoaded.load(std::memory_order_acquire); }

}  // namespace kva_audioplayer
