/* Drives the flat C interface from real C99: handle lifecycle, initialisation
 * with and without a configuration file, last_error texts, NULL handles and
 * NULL arguments for every function, and the lifetime of returned texts.
 *
 * Usage: c_api_test <work directory>   (created when missing) */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <vexa_core/vexa_core.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <direct.h>
#define make_dir(path) _mkdir(path)
#else
#include <sys/stat.h>
#define make_dir(path) mkdir(path, 0755)
#endif

#define NOT_INITIALIZED "CoreSession is not initialized."
#define WARNING_PREFIX "Warning: Could not load config from "
#define WARNING_SUFFIX ". Using default configuration."

static int g_checks = 0;
static int g_failures = 0;

#define CHECK(cond) check_impl((cond) != 0, #cond, __FILE__, __LINE__)
#define CHECK_STR(actual, expected) check_str_impl((actual), (expected), #actual, __FILE__, __LINE__)

static void check_impl(int ok, const char* what, const char* file, int line) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    }
}

static void check_str_impl(const char* actual, const char* expected, const char* what,
                           const char* file, int line) {
    ++g_checks;
    if (actual == NULL || strcmp(actual, expected) != 0) {
        ++g_failures;
        fprintf(stderr, "%s:%d: %s is \"%s\", expected \"%s\"\n", file, line, what,
                actual != NULL ? actual : "(null)", expected);
    }
}

static int starts_with(const char* text, const char* prefix) {
    return text != NULL && strncmp(text, prefix, strlen(prefix)) == 0;
}

/* Strict UTF-8 check: shortest forms only, no surrogates, at most U+10FFFF. */
static int is_valid_utf8(const char* text) {
    const unsigned char* s = (const unsigned char*)text;
    while (*s != 0) {
        unsigned c = *s;
        int n;
        unsigned min;
        unsigned cp;
        int i;
        if (c < 0x80) { ++s; continue; }
        if (c >= 0xC2 && c <= 0xDF) { n = 1; min = 0x80; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { n = 2; min = 0x800; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { n = 3; min = 0x10000; cp = c & 0x07; }
        else return 0;
        for (i = 1; i <= n; ++i) {
            if ((s[i] & 0xC0) != 0x80) return 0;
            cp = (cp << 6) | (s[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        s += n + 1;
    }
    return 1;
}

static void ensure_dir(const char* path) {
    if (make_dir(path) != 0 && errno != EEXIST) {
        fprintf(stderr, "cannot create %s\n", path);
        exit(2);
    }
}

static void write_file(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) {
        fprintf(stderr, "cannot write %s\n", path);
        exit(2);
    }
    fputs(text, f);
    fclose(f);
}

static char* join(const char* a, const char* b) {
    size_t n = strlen(a) + strlen(b) + 2;
    char* out = (char*)malloc(n);
    if (out == NULL) exit(2);
    snprintf(out, n, "%s/%s", a, b);
    return out;
}

static char* warning_for(const char* path) {
    size_t n = strlen(WARNING_PREFIX) + strlen(path) + strlen(WARNING_SUFFIX) + 1;
    char* out = (char*)malloc(n);
    if (out == NULL) exit(2);
    snprintf(out, n, "%s%s%s", WARNING_PREFIX, path, WARNING_SUFFIX);
    return out;
}

/* The library normalises the paths it builds: "\\" separators on Windows. */
static char* native_separators(char* path) {
#ifdef _WIN32
    char* p;
    for (p = path; *p != '\0'; ++p) {
        if (*p == '/') *p = '\\';
    }
#endif
    return path;
}

static int g_events = 0;
static void count_event(const VexaCoreEvent* event, void* user_data) {
    (void)event;
    (void)user_data;
    ++g_events;
}

static const char* tool_executor(const char* arguments_json, void* user_data) {
    (void)arguments_json;
    (void)user_data;
    return "{\"success\":true}";
}

static int confirm_all(const char* tool_name, const char* arguments_json, void* user_data) {
    (void)tool_name;
    (void)arguments_json;
    (void)user_data;
    return 1;
}

/* Every function with a NULL handle: static empty texts, -1 counts, 0 otherwise. */
static void test_null_handle(void) {
    const char* names[1] = {"x"};
    VexaCoreInitOptions init;
    VexaCoreChatOptions chat;
    VexaCoreToolSpec spec;
    VexaCoreHostLlmContext context;
    VexaCoreLlmOverride over;
    memset(&init, 0, sizeof init);
    memset(&chat, 0, sizeof chat);
    memset(&spec, 0, sizeof spec);
    memset(&context, 0, sizeof context);
    memset(&over, 0, sizeof over);
    spec.name = "x";

    CHECK(vexa_core_initialize(NULL, &init, count_event, NULL) == 0);
    CHECK(vexa_core_initialize(NULL, NULL, NULL, NULL) == 0);
    vexa_core_shutdown(NULL);
    CHECK(vexa_core_send_text_stream(NULL, "hi", &chat, count_event, NULL) == 0);
    vexa_core_cancel(NULL);
    CHECK(vexa_core_is_cancel_requested(NULL) == 0);
    CHECK_STR(vexa_core_last_error(NULL), "");
    CHECK_STR(vexa_core_current_state(NULL), "");
    CHECK_STR(vexa_core_current_model(NULL), "");
    CHECK_STR(vexa_core_current_session_id(NULL), "");
    CHECK_STR(vexa_core_model_status_json(NULL), "");
    CHECK_STR(vexa_core_get_system_prompt(NULL), "");
    CHECK_STR(vexa_core_last_llm_request_id(NULL), "");
    CHECK_STR(vexa_core_oneshot_completion(NULL, "[]", "{}"), "");
    CHECK_STR(vexa_core_oneshot_completion(NULL, NULL, NULL), "");
    CHECK(vexa_core_new_session(NULL) == 0);
    CHECK(vexa_core_clear_session(NULL) == 0);
    CHECK(vexa_core_save_session(NULL) == 0);
    CHECK(vexa_core_load_session(NULL, "id") == 0);
    CHECK(vexa_core_register_tool(NULL, &spec, tool_executor, NULL) == 0);
    CHECK(vexa_core_unregister_tool(NULL, "x") == 0);
    CHECK(vexa_core_request_tools(NULL, names, 1) == 0);
    vexa_core_set_tool_confirm_callback(NULL, confirm_all, NULL);
    vexa_core_set_system_prompt(NULL, "p");
    vexa_core_add_system_prompt(NULL, "p");
    CHECK(vexa_core_set_host_llm_context(NULL, &context) == 0);
    CHECK(vexa_core_set_llm_override(NULL, &over) == 0);
    CHECK(vexa_core_add_conversation_from_memory(NULL, "[]") == -1);
    CHECK(vexa_core_set_conversation_from_memory(NULL, "[]") == -1);
    CHECK(vexa_core_set_skills_from_memory(NULL, "[]") == -1);
    CHECK(vexa_core_set_identity_from_memory(NULL, "{}") == 0);
    CHECK(vexa_core_set_soul_from_memory(NULL, "soul") == 0);
    vexa_core_destroy(NULL);
    CHECK(g_events == 0);
}

/* NULL required pointers return at once and record nothing. */
static void test_null_arguments(VexaCoreHandle* h) {
    const char* names[2] = {NULL, NULL};
    CHECK_STR(vexa_core_last_error(h), "");
    CHECK(vexa_core_send_text_stream(h, NULL, NULL, NULL, NULL) == 0);
    CHECK_STR(vexa_core_oneshot_completion(h, NULL, "{}"), "");
    CHECK(vexa_core_load_session(h, NULL) == 0);
    CHECK(vexa_core_register_tool(h, NULL, tool_executor, NULL) == 0);
    CHECK(vexa_core_unregister_tool(h, NULL) == 0);
    CHECK(vexa_core_request_tools(h, NULL, 3) == 0);
    CHECK(vexa_core_request_tools(h, names, 0) == 0);
    CHECK(vexa_core_request_tools(h, names, -1) == 0);
    CHECK(vexa_core_set_host_llm_context(h, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), "");
}

/* Before initialisation: the answers of a session without an agent. Functions
 * that need the agent record "CoreSession is not initialized."; the others
 * leave last_error alone. */
static void test_uninitialised(VexaCoreHandle* h) {
    const char* names[2] = {NULL, "tool"};
    const char* required[1] = {"q"};
    VexaCoreToolSpec spec;
    VexaCoreHostLlmContext context;
    memset(&spec, 0, sizeof spec);
    memset(&context, 0, sizeof context);
    spec.name = "lookup";
    spec.required = required;
    spec.required_count = 1;

    /* No last_error from these. */
    CHECK(vexa_core_new_session(h) == 0);
    CHECK(vexa_core_clear_session(h) == 0);
    CHECK(vexa_core_is_cancel_requested(h) == 0);
    vexa_core_cancel(h);
    vexa_core_shutdown(h);
    CHECK_STR(vexa_core_current_state(h), "");
    CHECK_STR(vexa_core_current_model(h), "");
    CHECK_STR(vexa_core_current_session_id(h), "");
    CHECK_STR(vexa_core_model_status_json(h), "");
    CHECK_STR(vexa_core_get_system_prompt(h), "");
    CHECK_STR(vexa_core_last_llm_request_id(h), "");
    CHECK_STR(vexa_core_last_error(h), "");

    /* Each of these records the not-initialised text. */
#define EXPECT_NI(call)                                   \
    do {                                                  \
        vexa_core_set_system_prompt(h, NULL);             \
        call;                                             \
        CHECK_STR(vexa_core_last_error(h), NOT_INITIALIZED); \
    } while (0)
    EXPECT_NI(CHECK(vexa_core_save_session(h) == 0));
    EXPECT_NI(CHECK(vexa_core_load_session(h, "abc") == 0));
    EXPECT_NI(CHECK(vexa_core_register_tool(h, &spec, tool_executor, NULL) == 0));
    EXPECT_NI(CHECK(vexa_core_register_tool(h, &spec, NULL, NULL) == 0));
    EXPECT_NI(CHECK(vexa_core_unregister_tool(h, "lookup") == 0));
    EXPECT_NI(CHECK(vexa_core_request_tools(h, names, 2) == 0));
    EXPECT_NI(vexa_core_set_tool_confirm_callback(h, confirm_all, NULL));
    EXPECT_NI(vexa_core_set_tool_confirm_callback(h, NULL, NULL));
    EXPECT_NI(vexa_core_add_system_prompt(h, "extra"));
    EXPECT_NI(CHECK(vexa_core_set_host_llm_context(h, &context) == 0));
    EXPECT_NI(CHECK(vexa_core_set_llm_override(h, NULL) == 0));
    EXPECT_NI(CHECK(vexa_core_add_conversation_from_memory(h, NULL) == -1));
    EXPECT_NI(CHECK(vexa_core_set_conversation_from_memory(h, NULL) == -1));
    EXPECT_NI(CHECK(vexa_core_set_skills_from_memory(h, NULL) == -1));
    EXPECT_NI(CHECK(vexa_core_set_identity_from_memory(h, NULL) == 0));
    EXPECT_NI(CHECK(vexa_core_set_soul_from_memory(h, NULL) == 0));
    EXPECT_NI(CHECK_STR(vexa_core_oneshot_completion(h, "[]", NULL), ""));
    EXPECT_NI(CHECK(vexa_core_send_text_stream(h, "hello", NULL, count_event, NULL) == 0));
#undef EXPECT_NI
    CHECK(g_events == 0);
}

/* images_json is checked before any turn starts, and read only from records
 * that declare it. */
static void test_images_json(VexaCoreHandle* h) {
    VexaCoreChatOptions chat;
    const char* garbage_pointer = (const char*)(size_t)0x10; /* must never be read */
    const char* tools[2] = {"a", NULL};
    const char* last;
    int i;
    char ten[1024];
    const char* image = "{\"url\":\"https://example.com/a.png\"}";

    memset(&chat, 0, sizeof chat);
    chat.struct_size = (uint32_t)sizeof chat;
    chat.images_json = "not json";
    CHECK(vexa_core_send_text_stream(h, "look", &chat, count_event, NULL) == 0);
    CHECK(starts_with(vexa_core_last_error(h), "images_json is not valid JSON: "));

    chat.images_json = "{\"url\":\"https://example.com/a.png\"}";
    CHECK(vexa_core_send_text_stream(h, "look", &chat, NULL, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), "images_json must be a JSON array.");

    chat.images_json = "[{\"url\":\"http://example.com/a.png\"}]";
    CHECK(vexa_core_send_text_stream(h, "look", &chat, NULL, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), "image url must be an https absolute url.");

    strcpy(ten, "[");
    for (i = 0; i < 10; ++i) {
        if (i > 0) strcat(ten, ",");
        strcat(ten, image);
    }
    strcat(ten, "]");
    chat.images_json = ten;
    CHECK(vexa_core_send_text_stream(h, "look", &chat, NULL, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), "images_json count exceeds limit.");

    /* Valid images pass validation and reach the session (which has no agent). */
    chat.images_json = "[{\"url\":\" https://example.com/a.png \",\"detail\":\"LOW\"}]";
    chat.tools = tools;
    chat.tool_count = 2;
    chat.only_listed_tools = 1;
    chat.orchestration = 7;
    CHECK(vexa_core_send_text_stream(h, "look", &chat, count_event, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), NOT_INITIALIZED);

    /* A caller that knows only the first 56 bytes: images_json is not touched. */
    chat.struct_size = 56;
    chat.images_json = garbage_pointer;
    CHECK(vexa_core_send_text_stream(h, "look", &chat, NULL, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), NOT_INITIALIZED);
    chat.struct_size = 0;
    CHECK(vexa_core_send_text_stream(h, "look", &chat, NULL, NULL) == 0);
    CHECK_STR(vexa_core_last_error(h), NOT_INITIALIZED);

    /* An error text with invalid UTF-8 comes back repaired. */
    chat.struct_size = (uint32_t)sizeof chat;
    chat.images_json = "\xff\xfe";
    CHECK(vexa_core_send_text_stream(h, "look", &chat, NULL, NULL) == 0);
    last = vexa_core_last_error(h);
    CHECK(starts_with(last, "images_json is not valid JSON: "));
    CHECK(is_valid_utf8(last));
    CHECK(g_events == 0);
}

static void test_initialize(const char* work) {
    VexaCoreHandle* h = vexa_core_create();
    VexaCoreInitOptions init;
    char* missing_base = join(work, "missing");
    char* base = join(work, "base");
    char* config_dir = join(base, "config");
    char* config_file = join(config_dir, "agent_config.json");
    char* bad_file = join(work, "bad_config.json");
    char* expected;
    char* default_path;
    const char* first;
    char copy[512];

    CHECK(h != NULL);
    if (h == NULL) return;
    memset(&init, 0, sizeof init);

    /* No file at the default place: success with the warning naming the path. */
    init.base_dir = missing_base;
    CHECK(vexa_core_initialize(h, &init, count_event, NULL) == 1);
    default_path = join(missing_base, "config/agent_config.json");
    expected = warning_for(native_separators(default_path));
    free(default_path);
    CHECK_STR(vexa_core_last_error(h), expected);

    /* The returned text survives calls of other text functions, and is
     * replaced only by the next call of the same function. */
    first = vexa_core_last_error(h);
    strncpy(copy, first, sizeof copy - 1);
    copy[sizeof copy - 1] = '\0';
    vexa_core_current_state(h);
    vexa_core_current_model(h);
    vexa_core_current_session_id(h);
    vexa_core_model_status_json(h);
    vexa_core_get_system_prompt(h);
    vexa_core_last_llm_request_id(h);
    vexa_core_oneshot_completion(h, "[]", NULL);
    CHECK_STR(first, copy);
    CHECK_STR(vexa_core_last_error(h), "oneshot messages is empty"); /* oneshot recorded it */
    free(expected);

    /* A configuration file at the default place: no warning. */
    ensure_dir(base);
    ensure_dir(config_dir);
    write_file(config_file, "{\"agent\":{\"name\":\"CTest\"},\"llm\":{\"temperature\":0.25}}");
    init.base_dir = base;
    init.host_policy_flags = VEXA_CORE_POLICY_NO_PERSISTENCE | VEXA_CORE_POLICY_NO_LOCAL_MEMORY;
    CHECK(vexa_core_initialize(h, &init, NULL, NULL) == 1);
    CHECK_STR(vexa_core_last_error(h), "");

    /* An explicit path to a malformed file: the warning names that path. */
    write_file(bad_file, "{\"agent\": ");
    init.config_path = bad_file;
    CHECK(vexa_core_initialize(h, &init, NULL, NULL) == 1);
    expected = warning_for(bad_file);
    CHECK_STR(vexa_core_last_error(h), expected);
    free(expected);

    /* Default options: the executable's directory, probably without a file. */
    CHECK(vexa_core_initialize(h, NULL, NULL, NULL) == 1);
    first = vexa_core_last_error(h);
    CHECK(first[0] == '\0' || starts_with(first, WARNING_PREFIX));

    /* Shut down (twice) and initialise again. */
    vexa_core_shutdown(h);
    vexa_core_shutdown(h);
    CHECK_STR(vexa_core_current_state(h), "");
    init.config_path = config_file;
    CHECK(vexa_core_initialize(h, &init, NULL, NULL) == 1);
    CHECK_STR(vexa_core_last_error(h), "");

    /* A base directory that is not valid UTF-8: the warning comes back repaired. */
    init.config_path = NULL;
    init.base_dir = "/nonexistent/\xff\xfe";
    CHECK(vexa_core_initialize(h, &init, NULL, NULL) == 1);
    first = vexa_core_last_error(h);
    CHECK(starts_with(first, WARNING_PREFIX));
    CHECK(is_valid_utf8(first));
#ifndef _WIN32
    /* Windows reads such bytes in the ANSI code page; here they are replaced. */
    CHECK(strstr(first, "\xEF\xBF\xBD") != NULL);
#endif

    vexa_core_destroy(h);
    free(missing_base);
    free(base);
    free(config_dir);
    free(config_file);
    free(bad_file);
}

int main(int argc, char** argv) {
    const char* work = argc > 1 ? argv[1] : "c_api_test.work";
    VexaCoreHandle* h;
    ensure_dir(work);

    test_null_handle();

    h = vexa_core_create();
    CHECK(h != NULL);
    if (h != NULL) {
        test_null_arguments(h);
        test_uninitialised(h);
        test_images_json(h);
        vexa_core_destroy(h);
    }
    test_initialize(work);

    printf("c_api_test: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
