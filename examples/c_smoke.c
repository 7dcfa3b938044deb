/* Smallest host of the C interface: creates a session on a base directory,
 * initialises it, prints what the session reports, and shuts it down.
 *
 * Usage: vexa-smoke [base directory]   (default: the current directory) */
#include <vexa_core/vexa_core.h>

#include <stdio.h>
#include <string.h>

static void print_event(const VexaCoreEvent* event, void* user_data) {
    (void)user_data;
    printf("event %d [%s] %s\n", (int)event->type, event->state, event->text);
}

int main(int argc, char** argv) {
    VexaCoreInitOptions options;
    VexaCoreHandle* session = vexa_core_create();
    int ok;

    if (session == NULL) {
        fprintf(stderr, "vexa-smoke: cannot create a session\n");
        return 1;
    }
    memset(&options, 0, sizeof options);
    options.base_dir = argc > 1 ? argv[1] : ".";

    ok = vexa_core_initialize(session, &options, print_event, NULL);
    printf("base directory: %s\n", options.base_dir);
    printf("initialize:     %s\n", ok ? "ok" : "failed");
    printf("state:          %s\n", vexa_core_current_state(session));
    printf("model:          %s\n", vexa_core_current_model(session));
    printf("session id:     %s\n", vexa_core_current_session_id(session));
    printf("model status:   %s\n", vexa_core_model_status_json(session));
    printf("last error:     %s\n", vexa_core_last_error(session));

    vexa_core_shutdown(session);
    vexa_core_destroy(session);
    return ok ? 0 : 1;
}
