// The libarchive functions the updater calls, each forwarding to libarchive once it is open.
#include "app/updates/libarchive_on_demand.h"

#include <archive.h>
#include <archive_entry.h>

namespace talvo {

LazyLibrary& libarchive() {
  static LazyLibrary library("libarchive.so.13");
  return library;
}

}  // namespace talvo

extern "C" {

TALVO_FORWARD(libarchive, archive*, archive_read_new, (), ())

TALVO_FORWARD(libarchive, int, archive_read_free, (archive * handle), (handle))

TALVO_FORWARD(libarchive, int, archive_read_support_filter_gzip, (archive * handle), (handle))

TALVO_FORWARD(libarchive, int, archive_read_support_format_tar, (archive * handle), (handle))

TALVO_FORWARD(libarchive, int, archive_read_open_fd, (archive * handle, int fd, size_t blockSize),
              (handle, fd, blockSize))

TALVO_FORWARD(libarchive, int, archive_read_next_header, (archive * handle, archive_entry** entry), (handle, entry))

TALVO_FORWARD(libarchive, la_ssize_t, archive_read_data, (archive * handle, void* buffer, size_t size),
              (handle, buffer, size))

TALVO_FORWARD(libarchive, const char*, archive_error_string, (archive * handle), (handle))

TALVO_FORWARD(libarchive, const char*, archive_entry_pathname, (archive_entry * entry), (entry))

TALVO_FORWARD(libarchive, __LA_MODE_T, archive_entry_filetype, (archive_entry * entry), (entry))

TALVO_FORWARD(libarchive, __LA_MODE_T, archive_entry_perm, (archive_entry * entry), (entry))

TALVO_FORWARD(libarchive, const char*, archive_entry_hardlink, (archive_entry * entry), (entry))

TALVO_FORWARD(libarchive, const char*, archive_entry_symlink, (archive_entry * entry), (entry))

TALVO_FORWARD(libarchive, int, archive_entry_size_is_set, (archive_entry * entry), (entry))

TALVO_FORWARD(libarchive, la_int64_t, archive_entry_size, (archive_entry * entry), (entry))

}  // extern "C"
