/* Streams one turn through the C interface, with a "clock" tool the model may
 * call to learn the current time.
 *
 * Environment:
 *   VEXA_BASE_DIR  base directory (config/agent_config.json, data/); default "."
 *   VEXA_BASE_URL  chat-completions server, e.g. http://127.0.0.1:8080/v1;
 *                  unset = the server of agent_config.json
 *   VEXA_MODEL     model name (with VEXA_BASE_URL); VEXA_API_KEY its key
 *   VEXA_PROMPT    the user's text; default "What time is it?"
 *
 * Run: VEXA_BASE_URL=http://127.0.0.1:8080/v1 VEXA_MODEL=my-model ./build/examples/stream-turn-c */
#include <vexa_core/vexa_core.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if defined(_MSC_VER)
#define THREAD_LOCAL __declspec(thread)
#else
#define THREAD_LOCAL __thread
#endif

static const char* env_or(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != NULL && value[0] != '\0' ? value : fallback;
}

/* The library copies the result when the executor returns; tool calls may run
 * on several threads at once, so each thread writes its own buffer. */
static const char* clock_tool(const char* arguments_json, void* user_data) {
    static THREAD_LOCAL char result[128];
    char stamp[32];
    time_t now = time(NULL);
    (void)arguments_json;
    (void)user_data;
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    snprintf(result, sizeof result, "{\"success\":true,\"utc\":\"%s\"}", stamp);
    return result;
}

static void on_event(const VexaCoreEvent* event, void* user_data) {
    (void)user_data;
    switch (event->type) {
    case VEXA_CORE_EVENT_CONTENT_DELTA:
        fputs(event->text, stdout);
        fflush(stdout);
        break;
    case VEXA_CORE_EVENT_TOOL_CALL_STARTED:
        printf("\n[tool] %s %s\n", event->tool_name, event->tool_arguments);
        break;
    case VEXA_CORE_EVENT_TOOL_CALL_FINISHED:
        printf("[tool] %s -> %s\n", event->tool_name, event->tool_result);
        break;
    case VEXA_CORE_EVENT_ERROR:
        fprintf(stderr, "\n[error] %s\n", event->text);
        break;
    default:
        break;
    }
}

int main(void) {
    VexaCoreInitOptions init;
    VexaCoreToolSpec tool;
    VexaCoreLlmOverride llm;
    VexaCoreHandle* session = vexa_core_create();
    int ok;

    if (session == NULL) return 1;
    memset(&init, 0, sizeof init);
    init.base_dir = env_or("VEXA_BASE_DIR", ".");
    init.host_policy_flags = VEXA_CORE_POLICY_NO_LOCAL_MEMORY;
    vexa_core_initialize(session, &init, NULL, NULL);

    if (getenv("VEXA_BASE_URL") != NULL) {
        memset(&llm, 0, sizeof llm);
        llm.backend = "openai";
        llm.base_url = getenv("VEXA_BASE_URL");
        llm.model = getenv("VEXA_MODEL");
        llm.api_key = getenv("VEXA_API_KEY");
        vexa_core_set_llm_override(session, &llm);
    }

    memset(&tool, 0, sizeof tool);
    tool.name = "clock";
    tool.description = "Returns the current UTC date and time.";
    tool.parameters_json = "{\"type\":\"object\",\"properties\":{}}";
    vexa_core_register_tool(session, &tool, clock_tool, NULL);

    ok = vexa_core_send_text_stream(session, env_or("VEXA_PROMPT", "What time is it?"), NULL, on_event, NULL);
    printf("\n");
    if (!ok) fprintf(stderr, "turn failed: %s\n", vexa_core_last_error(session));

    vexa_core_destroy(session);
    return ok ? 0 : 1;
}
