/* Initialises a session through the installed C interface.
 * Usage: consumer_c <base directory> */
#include <vexa_core/vexa_core.h>

#include <stdio.h>
#include <string.h>

/* A host can test the interface version at compile time. */
#if !defined(VEXA_CORE_VERSION_MAJOR) || VEXA_CORE_VERSION_MAJOR < 0
#error "vexa_core.h carries no version"
#endif

int main(int argc, char** argv) {
    VexaCoreInitOptions options;
    VexaCoreHandle* handle = vexa_core_create();
    const char* error;
    int ok;
    if (handle == NULL) return 1;
    memset(&options, 0, sizeof options);
    options.base_dir = argc > 1 ? argv[1] : ".";
    ok = vexa_core_initialize(handle, &options, NULL, NULL);
    error = vexa_core_last_error(handle);
    printf("vexa_core %s: initialize=%d last_error=%s\n", VEXA_CORE_VERSION_STRING, ok, error);
    ok = ok == 1 && strncmp(error, "Warning: Could not load config from ", 36) == 0;
    vexa_core_shutdown(handle);
    vexa_core_destroy(handle);
    return ok ? 0 : 1;
}
