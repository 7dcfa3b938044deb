/* Whole turns through the C interface of the Windows build, against a
 * loopback chat-completions server: the WinHTTP transport streams, honours
 * cancel while the server is silent, applies the configured timeout to the
 * wait for headers and reports a refused connection.
 * Usage: winhttp_turn_test <port> <free port> */
#include <vexa_core/vexa_core.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int g_failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                             \
        }                                                             \
    } while (0)

static char g_streamed[256];
static int g_deltas = 0;

static void on_event(const VexaCoreEvent* event, void* user_data) {
    (void)user_data;
    if (event->type == VEXA_CORE_EVENT_CONTENT_DELTA && event->text != NULL) {
        strncat(g_streamed, event->text, sizeof g_streamed - strlen(g_streamed) - 1);
        ++g_deltas;
    }
}

static VexaCoreHandle* session_for(const char* base, const char* port, int timeout_seconds) {
    char path[MAX_PATH];
    char config[512];
    FILE* f;
    VexaCoreHandle* h;
    VexaCoreInitOptions init;
    CreateDirectoryA(base, NULL);
    snprintf(path, sizeof path, "%s\\config", base);
    CreateDirectoryA(path, NULL);
    snprintf(path, sizeof path, "%s\\config\\agent_config.json", base);
    snprintf(config, sizeof config,
             "{\"llm\":{\"base_url\":\"http://127.0.0.1:%s/v1\",\"model\":\"m\",\"api_key\":\"k\","
             "\"timeout_seconds\":%d}}",
             port, timeout_seconds);
    f = fopen(path, "wb");
    if (f == NULL) exit(2);
    fputs(config, f);
    fclose(f);
    h = vexa_core_create();
    memset(&init, 0, sizeof init);
    init.base_dir = base;
    CHECK(vexa_core_initialize(h, &init, NULL, NULL) == 1);
    return h;
}

static DWORD WINAPI cancel_later(LPVOID handle) {
    Sleep(300);
    vexa_core_cancel((VexaCoreHandle*)handle);
    return 0;
}

static int starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int main(int argc, char** argv) {
    VexaCoreHandle* h;
    HANDLE canceller;
    DWORD started, elapsed;
    if (argc < 3) return 2;

    /* A streamed answer, in pieces. */
    h = session_for("streamed", argv[1], 30);
    CHECK(vexa_core_send_text_stream(h, "hi", NULL, on_event, NULL) == 1);
    CHECK(strcmp(g_streamed, "Hello, \xE4\xB8\x96\xE7\x95\x8C Vexa/1.0") == 0);
    CHECK(g_deltas == 4);
    CHECK(vexa_core_save_session(h) == 1);

    /* Cancel while the server says nothing. */
    canceller = CreateThread(NULL, 0, cancel_later, h, 0, NULL);
    started = GetTickCount();
    CHECK(vexa_core_send_text_stream(h, "silent", NULL, NULL, NULL) == 0);
    elapsed = GetTickCount() - started;
    WaitForSingleObject(canceller, INFINITE);
    CloseHandle(canceller);
    CHECK(elapsed < 2000);
    CHECK(strcmp(vexa_core_last_error(h), "Generation cancelled.") == 0);
    vexa_core_destroy(h);

    /* The configured limit bounds the wait for the response headers. */
    h = session_for("timeout", argv[1], 1);
    started = GetTickCount();
    CHECK(vexa_core_send_text_stream(h, "silent", NULL, NULL, NULL) == 0);
    elapsed = GetTickCount() - started;
    CHECK(elapsed >= 900 && elapsed < 10000);
    CHECK(starts_with(vexa_core_last_error(h), "LLM call failed: WinHttpReceiveResponse failed, error: "));
    vexa_core_destroy(h);

    /* Nobody listening. */
    h = session_for("refused", argv[2], 5);
    CHECK(vexa_core_send_text_stream(h, "hi", NULL, NULL, NULL) == 0);
    CHECK(starts_with(vexa_core_last_error(h), "LLM call failed: WinHttpSendRequest failed, error: "));
    vexa_core_destroy(h);

    printf("winhttp_turn_test: %d failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
