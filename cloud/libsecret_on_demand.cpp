// The libsecret functions the program calls, each forwarding to libsecret once it is open.
#include "cloud/libsecret_on_demand.h"

#include <libsecret/secret.h>

namespace talvo {

LazyLibrary& libsecret() {
  static LazyLibrary library("libsecret-1.so.0");
  return library;
}

}  // namespace talvo

extern "C" {

TALVO_FORWARD(libsecret, SecretService*, secret_service_get_sync,
              (SecretServiceFlags flags, GCancellable* cancellable, GError** error), (flags, cancellable, error))

TALVO_FORWARD(libsecret, GList*, secret_service_search_sync,
              (SecretService * service, const SecretSchema* schema, GHashTable* attributes, SecretSearchFlags flags,
               GCancellable* cancellable, GError** error),
              (service, schema, attributes, flags, cancellable, error))

TALVO_FORWARD(libsecret, SecretCollection*, secret_collection_for_alias_sync,
              (SecretService * service, const gchar* alias, SecretCollectionFlags flags, GCancellable* cancellable,
               GError** error),
              (service, alias, flags, cancellable, error))

TALVO_FORWARD(libsecret, gboolean, secret_collection_get_locked, (SecretCollection * collection), (collection))

TALVO_FORWARD(libsecret, gboolean, secret_item_get_locked, (SecretItem * item), (item))

TALVO_FORWARD(libsecret, gchar*, secret_password_lookupv_sync,
              (const SecretSchema* schema, GHashTable* attributes, GCancellable* cancellable, GError** error),
              (schema, attributes, cancellable, error))

TALVO_FORWARD(libsecret, gboolean, secret_password_storev_sync,
              (const SecretSchema* schema, GHashTable* attributes, const gchar* collection, const gchar* label,
               const gchar* password, GCancellable* cancellable, GError** error),
              (schema, attributes, collection, label, password, cancellable, error))

TALVO_FORWARD(libsecret, gboolean, secret_password_clearv_sync,
              (const SecretSchema* schema, GHashTable* attributes, GCancellable* cancellable, GError** error),
              (schema, attributes, cancellable, error))

TALVO_FORWARD(libsecret, void, secret_password_free, (gchar * password), (password))

}  // extern "C"
