// libavfilter, loaded on first use. Only the time-stretch needs it, and with its own dependencies
// it maps some thirty more shared libraries: a play at normal speed never loads it.
#pragma once

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace kva_audioplayer {

struct FilterLibrary {
    decltype(&avfilter_get_by_name) get_by_name;
    decltype(&avfilter_graph_alloc) graph_alloc;
    decltype(&avfilter_graph_free) graph_free;
    decltype(&avfilter_graph_alloc_filter) graph_alloc_filter;
    decltype(&avfilter_graph_create_filter) graph_create_filter;
    decltype(&avfilter_graph_config) graph_config;
    decltype(&avfilter_graph_send_command) graph_send_command;
    decltype(&avfilter_init_str) init_str;
    decltype(&avfilter_link) link;
    decltype(&av_buffersrc_parameters_alloc) buffersrc_parameters_alloc;
    decltype(&av_buffersrc_parameters_set) buffersrc_parameters_set;
    decltype(&av_buffersrc_add_frame_flags) buffersrc_add_frame_flags;
    decltype(&av_buffersink_get_frame) buffersink_get_frame;
};

// Loads the library once per process (thread-safe; the first call may take milliseconds of
// disk and relocation work, so call it off the render thread). Null when the library or one of
// its entry points is missing; that answer is final.
const FilterLibrary* LoadFilterLibrary();

// Whether the library is in already, without loading it.
bool FilterLibraryLoaded();

}  // namespace kva_audioplayer
