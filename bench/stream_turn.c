/* Stream throughput as a host sees it: whole turns through the C interface
 * against a chat-completions server (e.g. a loopback server replaying a long
 * stream), content events counted in the callback and divided by the turn's
 * wall time. One JSON line per turn, like the Node.js peer's output.
 *
 *   vexa_stream_turn PORT [TURNS]
 *
 * Each turn runs in a fresh handle, so every turn sends the same short request
 * (no history of earlier turns) and nothing is written to disk. */

#define _XOPEN_SOURCE 700

#include <vexa_core/vexa_core.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef struct Counts {
    long long content_events;
    long long content_bytes;
} Counts;

static void on_event(const VexaCoreEvent* event, void* user_data) {
    Counts* counts = (Counts*)user_data;
    if (event->type == VEXA_CORE_EVENT_CONTENT_DELTA) {
        counts->content_events++;
        counts->content_bytes += (long long)strlen(event->text);
    }
}

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static int remove_entry(const char* path, const struct stat* st, int flag, struct FTW* ftw) {
    (void)st;
    (void)flag;
    (void)ftw;
    return remove(path);
}

static int write_config(const char* base, const char* port) {
    char path[4096];
    snprintf(path, sizeof path, "%s/config", base);
    if (mkdir(path, 0700) != 0) return 0;
    snprintf(path, sizeof path, "%s/config/agent_config.json", base);
    FILE* f = fopen(path, "w");
    if (!f) return 0;
    fprintf(f,
            "{\"llm\":{\"backend\":\"openai\",\"base_url\":\"http://127.0.0.1:%s/v1\",\"model\":\"m\","
            "\"api_key\":\"sk-test\",\"timeout_seconds\":300},"
            "\"agent\":{\"max_tool_rounds\":1,\"orchestration_enabled\":false},\"perf\":{\"enabled\":false}}\n",
            port);
    return fclose(f) == 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [TURNS]\n", argv[0]);
        return 2;
    }
    const char* port = argv[1];
    const int turns = argc > 2 ? atoi(argv[2]) : 5;

    char base[] = "/tmp/vexa-stream-turn-XXXXXX";
    if (!mkdtemp(base) || !write_config(base, port)) {
        perror("temporary base directory");
        return 1;
    }
    const uint32_t flags = VEXA_CORE_POLICY_NO_LOCAL_SKILLS | VEXA_CORE_POLICY_NO_LOCAL_SOUL |
                           VEXA_CORE_POLICY_NO_LOCAL_IDENTITY | VEXA_CORE_POLICY_NO_LOCAL_MEMORY |
                           VEXA_CORE_POLICY_NO_PERSISTENCE | VEXA_CORE_POLICY_NO_MODEL_TOOL;
    int status = 0;
    for (int turn = 0; turn < turns && status == 0; ++turn) {
        VexaCoreHandle* handle = vexa_core_create();
        VexaCoreInitOptions init;
        memset(&init, 0, sizeof init);
        init.base_dir = base;
        init.host_policy_flags = flags;
        if (!handle || !vexa_core_initialize(handle, &init, NULL, NULL)) {
            fprintf(stderr, "initialize failed: %s\n", handle ? vexa_core_last_error(handle) : "out of memory");
            status = 1;
        } else {
            Counts counts = {0, 0};
            const double start = now_ms();
            const int ok = vexa_core_send_text_stream(handle, "go", NULL, on_event, &counts);
            const double ms = now_ms() - start;
            if (!ok) {
                fprintf(stderr, "turn failed: %s\n", vexa_core_last_error(handle));
                status = 1;
            } else {
                printf("{\"events\":%lld,\"bytes\":%lld,\"ms\":%.1f,\"events_per_s\":%.0f}\n", counts.content_events,
                       counts.content_bytes, ms, (double)counts.content_events / (ms / 1000.0));
                fflush(stdout);
            }
        }
        vexa_core_destroy(handle);
    }
    nftw(base, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}
