// The libpulse functions the program calls, each forwarding to libpulse once it is open.
#include "app/capture/libpulse_on_demand.h"

#include <pulse/pulseaudio.h>
#include <pulse/thread-mainloop.h>

namespace talvo {

LazyLibrary &libpulse() {
  static LazyLibrary library("libpulse.so.0");
  return library;
}

}  // namespace talvo

extern "C" {

TALVO_FORWARD(libpulse, int, pa_context_connect,
              (pa_context * c, const char *server, pa_context_flags_t flags, const pa_spawn_api *api),
              (c, server, flags, api))
TALVO_FORWARD(libpulse, void, pa_context_disconnect, (pa_context * c), (c))
TALVO_FORWARD(libpulse, int, pa_context_errno, (const pa_context *c), (c))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_get_server_info,
              (pa_context * c, pa_server_info_cb_t cb, void *userdata), (c, cb, userdata))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_get_sink_info_by_name,
              (pa_context * c, const char *name, pa_sink_info_cb_t cb, void *userdata), (c, name, cb, userdata))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_get_source_info_by_index,
              (pa_context * c, uint32_t idx, pa_source_info_cb_t cb, void *userdata), (c, idx, cb, userdata))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_get_source_info_by_name,
              (pa_context * c, const char *name, pa_source_info_cb_t cb, void *userdata), (c, name, cb, userdata))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_get_source_info_list,
              (pa_context * c, pa_source_info_cb_t cb, void *userdata), (c, cb, userdata))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_get_source_output_info_list,
              (pa_context * c, pa_source_output_info_cb_t cb, void *userdata), (c, cb, userdata))
TALVO_FORWARD(libpulse, pa_context_state_t, pa_context_get_state, (const pa_context *c), (c))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_move_source_output_by_name,
              (pa_context * c, uint32_t idx, const char *source_name, pa_context_success_cb_t cb, void *userdata),
              (c, idx, source_name, cb, userdata))
TALVO_FORWARD(libpulse, pa_context *, pa_context_new_with_proplist,
              (pa_mainloop_api * mainloop, const char *name, const pa_proplist *proplist), (mainloop, name, proplist))
TALVO_FORWARD(libpulse, void, pa_context_set_state_callback,
              (pa_context * c, pa_context_notify_cb_t cb, void *userdata), (c, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_context_set_subscribe_callback,
              (pa_context * c, pa_context_subscribe_cb_t cb, void *userdata), (c, cb, userdata))
TALVO_FORWARD(libpulse, pa_operation *, pa_context_subscribe,
              (pa_context * c, pa_subscription_mask_t m, pa_context_success_cb_t cb, void *userdata),
              (c, m, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_context_unref, (pa_context * c), (c))
TALVO_FORWARD(libpulse, void, pa_operation_cancel, (pa_operation * o), (o))
TALVO_FORWARD(libpulse, pa_operation_state_t, pa_operation_get_state, (const pa_operation *o), (o))
TALVO_FORWARD(libpulse, void, pa_operation_unref, (pa_operation * o), (o))
TALVO_FORWARD(libpulse, void, pa_proplist_free, (pa_proplist * p), (p))
TALVO_FORWARD(libpulse, const char *, pa_proplist_gets, (const pa_proplist *p, const char *key), (p, key))
TALVO_FORWARD(libpulse, pa_proplist *, pa_proplist_new, (), ())
TALVO_FORWARD(libpulse, int, pa_proplist_sets, (pa_proplist * p, const char *key, const char *value), (p, key, value))
TALVO_FORWARD(libpulse, int, pa_stream_connect_record,
              (pa_stream * s, const char *dev, const pa_buffer_attr *attr, pa_stream_flags_t flags),
              (s, dev, attr, flags))
TALVO_FORWARD(libpulse, int, pa_stream_disconnect, (pa_stream * s), (s))
TALVO_FORWARD(libpulse, int, pa_stream_drop, (pa_stream * p), (p))
TALVO_FORWARD(libpulse, uint32_t, pa_stream_get_device_index, (const pa_stream *s), (s))
TALVO_FORWARD(libpulse, const char *, pa_stream_get_device_name, (const pa_stream *s), (s))
TALVO_FORWARD(libpulse, uint32_t, pa_stream_get_index, (const pa_stream *s), (s))
TALVO_FORWARD(libpulse, int, pa_stream_get_latency, (pa_stream * s, pa_usec_t *r_usec, int *negative),
              (s, r_usec, negative))
TALVO_FORWARD(libpulse, const pa_sample_spec *, pa_stream_get_sample_spec, (pa_stream * s), (s))
TALVO_FORWARD(libpulse, pa_stream_state_t, pa_stream_get_state, (const pa_stream *p), (p))
TALVO_FORWARD(libpulse, const pa_timing_info *, pa_stream_get_timing_info, (pa_stream * s), (s))
TALVO_FORWARD(libpulse, pa_stream *, pa_stream_new_with_proplist,
              (pa_context * c, const char *name, const pa_sample_spec *ss, const pa_channel_map *map, pa_proplist *p),
              (c, name, ss, map, p))
TALVO_FORWARD(libpulse, int, pa_stream_peek, (pa_stream * p, const void **data, size_t *nbytes), (p, data, nbytes))
TALVO_FORWARD(libpulse, void, pa_stream_set_moved_callback, (pa_stream * p, pa_stream_notify_cb_t cb, void *userdata),
              (p, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_stream_set_read_callback, (pa_stream * p, pa_stream_request_cb_t cb, void *userdata),
              (p, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_stream_set_state_callback, (pa_stream * s, pa_stream_notify_cb_t cb, void *userdata),
              (s, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_stream_set_suspended_callback,
              (pa_stream * p, pa_stream_notify_cb_t cb, void *userdata), (p, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_stream_unref, (pa_stream * s), (s))
TALVO_FORWARD(libpulse, pa_operation *, pa_stream_update_timing_info,
              (pa_stream * p, pa_stream_success_cb_t cb, void *userdata), (p, cb, userdata))
TALVO_FORWARD(libpulse, void, pa_threaded_mainloop_free, (pa_threaded_mainloop * m), (m))
TALVO_FORWARD(libpulse, pa_mainloop_api *, pa_threaded_mainloop_get_api, (pa_threaded_mainloop * m), (m))
TALVO_FORWARD(libpulse, void, pa_threaded_mainloop_lock, (pa_threaded_mainloop * m), (m))
TALVO_FORWARD(libpulse, pa_threaded_mainloop *, pa_threaded_mainloop_new, (), ())
TALVO_FORWARD(libpulse, int, pa_threaded_mainloop_start, (pa_threaded_mainloop * m), (m))
TALVO_FORWARD(libpulse, void, pa_threaded_mainloop_stop, (pa_threaded_mainloop * m), (m))
TALVO_FORWARD(libpulse, void, pa_threaded_mainloop_unlock, (pa_threaded_mainloop * m), (m))

}  // extern "C"
