// An idiomatic C# face over the vexa_core C interface: a disposable Session,
// events as a C# event, tools and the confirmation hook as delegates, and
// failures as VexaCoreException carrying the library's last_error.
//
// C# 7 compatible (Mono's mcs). The runtime offers no IAsyncEnumerable here,
// so streaming is a blocking enumerable (Session.Stream) plus ChatAsync.

using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using VexaCore.Interop;

namespace VexaCore
{
    public enum EventType
    {
        Notice = 0,
        ModelLoading = 1,
        StateChanged = 2,
        ContentDelta = 3,
        ReasoningDelta = 4,
        ToolCallStarted = 5,
        ToolCallFinished = 6,
        Done = 7,
        Error = 8,
        PlanReady = 9,
        TaskStarted = 10,
        TaskProgress = 11,
        TaskSucceeded = 12,
        TaskFailed = 13,
        SegmentUpdate = 14,
    }

    // A copy of one event; unlike the native record it outlives the callback.
    public sealed class AgentEvent : EventArgs
    {
        public EventType Type { get; private set; }
        public string State { get; private set; }
        public string Text { get; private set; }
        public string ToolName { get; private set; }
        public string ToolArguments { get; private set; }
        public string ToolResult { get; private set; }
        public bool Success { get; private set; }
        public string TaskId { get; private set; }
        public string Segment { get; private set; }

        internal static AgentEvent FromNative(IntPtr record)
        {
            var e = (VexaCoreEvent)Marshal.PtrToStructure(record, typeof(VexaCoreEvent));
            return new AgentEvent
            {
                Type = (EventType)e.type,
                State = Utf8.Read(e.state),
                Text = Utf8.Read(e.text),
                ToolName = Utf8.Read(e.tool_name),
                ToolArguments = Utf8.Read(e.tool_arguments),
                ToolResult = Utf8.Read(e.tool_result),
                Success = e.success != 0,
                TaskId = Utf8.Read(e.task_id),
                Segment = Utf8.Read(e.segment),
            };
        }

        public override string ToString()
        {
            return Type + " [" + State + "] " + Text;
        }
    }

    public class VexaCoreException : Exception
    {
        // The library's vexa_core_last_error at the time of the failure.
        public string LastError { get; private set; }

        public VexaCoreException(string lastError)
            : base(string.IsNullOrEmpty(lastError) ? "vexa_core call failed" : lastError)
        {
            LastError = lastError ?? string.Empty;
        }

        public VexaCoreException(string message, string lastError, Exception inner)
            : base(message, inner)
        {
            LastError = lastError ?? string.Empty;
        }
    }

    public enum Orchestration
    {
        Configured = 0,
        On = 1,
        Off = 2,
    }

    public sealed class ChatOptions
    {
        public bool StreamContent = true;
        public bool StreamReasoning = true;
        public bool EmitToolEvents = true;
        public int MaxToolRounds;                  // > 0 overrides the configured limit
        public Orchestration Orchestration = Orchestration.Configured;
        public IList<string> Tools;                // tools offered this turn
        public bool OnlyListedTools;
        public string TurnSystemPrompt;
        public string ImagesJson;
    }

    public sealed class ToolSpec
    {
        public string Name;
        public string Description;
        public string ParametersJson;              // the complete argument schema; wins over the rest
        public string Type;                        // null = "object"
        public string PropertiesJson;
        public IList<string> Required;
        public IList<string> Keywords;             // none = always offered
    }

    public sealed class LlmOverride
    {
        public string Backend;
        public string BaseUrl;
        public string ApiKey;
        public string Model;
        public double? Temperature;
        public int? MaxTokens;
        public int? TimeoutSeconds;
    }

    public sealed class HostLlmContext
    {
        public string GatewayUrl;
        public string Cookie;
        public string Referer;
        public string User;
        public string QorbinExt;
    }

    // A tool's implementation: receives the argument JSON, returns the result
    // text (JSON or plain text).
    public delegate string ToolHandler(string argumentsJson);

    // Decides whether a tool call may run.
    public delegate bool ToolConfirmHandler(string toolName, string argumentsJson);

    // One agent session over one native handle. Every delegate handed to the
    // library is held here until the handle is destroyed, so the library can
    // never call into a collected delegate.
    public sealed class Session : IDisposable
    {
        private IntPtr handle_;
        private int disposed_;
        private readonly List<object> keepAlive_ = new List<object>();
        private readonly VexaCoreEventCallback backgroundCallback_;
        // One lock per text function: the native buffer of a text function is
        // shared, and calls of different functions must not wait for each other
        // (a callback may call OneshotCompletion while another thread reads LastError).
        private readonly Dictionary<string, object> textLocks_ = new Dictionary<string, object>();

        [ThreadStatic] private static IntPtr toolResultBuffer_;
        // The sessions whose callbacks this thread is running, innermost last.
        [ThreadStatic] private static List<Session> callbackSessions_;

        private const string CallbackSafe = "Cancel, IsCancelRequested, RequestTools and OneshotCompletion";

        // Events of every turn, and the start-up and background notices.
        // Raised on the thread the library delivers them on; never two at once.
        public event EventHandler<AgentEvent> EventReceived;

        public Session()
        {
            NativeLayout.Check();
            handle_ = NativeMethods.vexa_core_create();
            if (handle_ == IntPtr.Zero) throw new OutOfMemoryException("vexa_core_create failed");
            backgroundCallback_ = OnBackgroundEvent;
            foreach (string name in new[] { "last_error", "state", "model", "session_id", "status", "prompt",
                                            "request_id", "oneshot" })
                textLocks_[name] = new object();
        }

        // Creates and initialises a session (see Initialize).
        public Session(string baseDir, string configPath = null, uint policyFlags = 0) : this()
        {
            try
            {
                Initialize(baseDir, configPath, policyFlags);
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        ~Session()
        {
            Release();
        }

        // From inside one of this session's callbacks it throws
        // VexaCoreException: the running turn would wait for the callback and
        // the callback for it.
        public void Dispose()
        {
            if (Volatile.Read(ref disposed_) != 0) return;
            RefuseInCallback("Dispose");
            Release();
            GC.SuppressFinalize(this);
        }

        private void Release()
        {
            if (Interlocked.Exchange(ref disposed_, 1) != 0) return;
            // Cancels and waits for a turn running on another thread.
            NativeMethods.vexa_core_destroy(handle_);
            handle_ = IntPtr.Zero;
            lock (keepAlive_) keepAlive_.Clear();
        }

        // The handle for a call that waits for a running turn: refused from
        // inside this session's callbacks, where it would never return.
        private IntPtr Handle
        {
            get
            {
                IntPtr handle = CallbackSafeHandle;
                RefuseInCallback("This call");
                return handle;
            }
        }

        // The handle for the calls that never wait for a turn.
        private IntPtr CallbackSafeHandle
        {
            get
            {
                if (Volatile.Read(ref disposed_) != 0) throw new ObjectDisposedException("VexaCore.Session");
                return handle_;
            }
        }

        private bool InOwnCallback
        {
            get
            {
                List<Session> sessions = callbackSessions_;
                return sessions != null && sessions.Contains(this);
            }
        }

        private void RefuseInCallback(string what)
        {
            if (!InOwnCallback) return;
            throw new VexaCoreException(
                what + " cannot be called from inside a callback of the same session: the running turn waits for " +
                "the callback to return (only " + CallbackSafe + " may be called there)", string.Empty, null);
        }

        // Marks this thread as running one of this session's callbacks.
        private void EnterCallback()
        {
            if (callbackSessions_ == null) callbackSessions_ = new List<Session>();
            callbackSessions_.Add(this);
        }

        private void LeaveCallback()
        {
            callbackSessions_.RemoveAt(callbackSessions_.Count - 1);
        }

        private void KeepAlive(object callback)
        {
            lock (keepAlive_) keepAlive_.Add(callback);
        }

        private VexaCoreException Failure()
        {
            // The last error waits for the running turn: inside this session's
            // callbacks it cannot be read.
            if (InOwnCallback) return new VexaCoreException("vexa_core call failed", string.Empty, null);
            return new VexaCoreException(LastError);
        }

        private void Check(int result)
        {
            if (result == 0) throw Failure();
        }

        private int CheckCount(int result)
        {
            if (result < 0) throw Failure();
            return result;
        }

        private string ReadText(string slot, Func<IntPtr, IntPtr> call, bool fromCallback = false)
        {
            IntPtr handle = fromCallback ? CallbackSafeHandle : Handle;
            lock (textLocks_[slot]) return Utf8.Read(call(handle));
        }

        // ---- lifecycle ------------------------------------------------------

        // Loads <baseDir>/config/agent_config.json (or configPath) and starts the
        // agent. A missing or invalid configuration file is no failure; its
        // warning is returned (empty when there is none).
        public string Initialize(string baseDir = null, string configPath = null, uint policyFlags = 0)
        {
            RefuseInCallback("Initialize");
            IntPtr handle = Handle;
            using (var arena = new Utf8Arena())
            {
                var options = new VexaCoreInitOptions
                {
                    base_dir = arena.Text(baseDir),
                    config_path = arena.Text(configPath),
                    host_policy_flags = policyFlags,
                };
                Check(NativeMethods.vexa_core_initialize(handle, ref options, backgroundCallback_, IntPtr.Zero));
            }
            return LastError;
        }

        public void Shutdown()
        {
            RefuseInCallback("Shutdown");
            NativeMethods.vexa_core_shutdown(Handle);
        }

        // ---- turns ----------------------------------------------------------

        // Runs one turn on the calling thread and returns the answer's text (the
        // content deltas joined; empty when StreamContent is off). Events go to
        // onEvent and EventReceived. A failed or cancelled turn throws
        // VexaCoreException with the reason ("Generation cancelled." for a cancel).
        public string Chat(string text, ChatOptions options = null, Action<AgentEvent> onEvent = null)
        {
            if (text == null) throw new ArgumentNullException("text");
            RefuseInCallback("Chat");
            IntPtr handle = Handle;
            var answer = new StringBuilder();
            Exception handlerFailure = null;
            VexaCoreEventCallback callback = (record, userData) =>
            {
                EnterCallback();
                try
                {
                    AgentEvent e = AgentEvent.FromNative(record);
                    if (e.Type == EventType.ContentDelta) answer.Append(e.Text);
                    if (onEvent != null) onEvent(e);
                    Raise(e);
                }
                catch (Exception ex)
                {
                    // Nothing may unwind into native code; the turn is stopped
                    // and the exception rethrown once the library has returned.
                    if (handlerFailure == null) handlerFailure = ex;
                    NativeMethods.vexa_core_cancel(handle);
                }
                finally
                {
                    LeaveCallback();
                }
            };

            int ok;
            byte[] textBytes = Utf8.Bytes(text);
            if (options == null)
            {
                ok = NativeMethods.vexa_core_send_text_stream_defaults(handle, textBytes, IntPtr.Zero, callback, IntPtr.Zero);
            }
            else
            {
                using (var arena = new Utf8Arena())
                {
                    var native = new VexaCoreChatOptions
                    {
                        stream_content = options.StreamContent ? 1 : 0,
                        stream_reasoning = options.StreamReasoning ? 1 : 0,
                        emit_tool_events = options.EmitToolEvents ? 1 : 0,
                        max_tool_rounds = options.MaxToolRounds,
                        orchestration = (int)options.Orchestration,
                        tools = arena.TextArray(options.Tools),
                        tool_count = options.Tools == null ? 0 : options.Tools.Count,
                        turn_system_prompt = arena.Text(options.TurnSystemPrompt),
                        only_listed_tools = options.OnlyListedTools ? 1 : 0,
                        struct_size = (uint)Marshal.SizeOf(typeof(VexaCoreChatOptions)),
                        images_json = arena.Text(options.ImagesJson),
                    };
                    ok = NativeMethods.vexa_core_send_text_stream(handle, textBytes, ref native, callback, IntPtr.Zero);
                }
            }
            GC.KeepAlive(callback);
            if (handlerFailure != null)
                throw new VexaCoreException("An event handler threw: " + handlerFailure.Message, LastError, handlerFailure);
            if (ok == 0) throw Failure();
            return answer.ToString();
        }

        // Runs the turn on a worker thread; the token cancels it.
        public Task<string> ChatAsync(string text, ChatOptions options = null, Action<AgentEvent> onEvent = null,
                                      CancellationToken cancellationToken = default(CancellationToken))
        {
            // A turn started from a callback would wait for the running one,
            // which waits for the callback.
            RefuseInCallback("ChatAsync");
            return Task.Factory.StartNew(() =>
            {
                using (cancellationToken.Register(Cancel))
                    return Chat(text, options, onEvent);
            }, CancellationToken.None, TaskCreationOptions.LongRunning, TaskScheduler.Default);
        }

        // The turn's events as they arrive; the turn runs on a worker thread.
        // Leaving the loop early cancels the turn and waits for it to end.
        public TurnStream Stream(string text, ChatOptions options = null)
        {
            if (text == null) throw new ArgumentNullException("text");
            RefuseInCallback("Stream");
            return new TurnStream(this, text, options);
        }

        // Asks the running turn to stop; never waits. Callable from callbacks.
        public void Cancel()
        {
            if (Volatile.Read(ref disposed_) != 0) return;
            NativeMethods.vexa_core_cancel(handle_);
        }

        public bool IsCancelRequested
        {
            get { return NativeMethods.vexa_core_is_cancel_requested(CallbackSafeHandle) != 0; }
        }

        // One model call outside the conversation. Returns the result JSON
        // {"content","error","success","timing","usage"}; a failed call is
        // reported there (and in LastError), not thrown.
        public string OneshotCompletion(string messagesJson, string optionsJson = null)
        {
            if (messagesJson == null) throw new ArgumentNullException("messagesJson");
            byte[] messages = Utf8.Bytes(messagesJson);
            byte[] opts = Utf8.Bytes(optionsJson);
            string result = ReadText("oneshot", h => NativeMethods.vexa_core_oneshot_completion(h, messages, opts), true);
            if (result.Length == 0) throw Failure();
            return result;
        }

        // ---- texts ----------------------------------------------------------

        public string LastError { get { return ReadText("last_error", NativeMethods.vexa_core_last_error); } }
        public string CurrentState { get { return ReadText("state", NativeMethods.vexa_core_current_state); } }
        public string CurrentModel { get { return ReadText("model", NativeMethods.vexa_core_current_model); } }
        public string CurrentSessionId { get { return ReadText("session_id", NativeMethods.vexa_core_current_session_id); } }
        public string ModelStatusJson { get { return ReadText("status", NativeMethods.vexa_core_model_status_json); } }
        public string SystemPrompt { get { return ReadText("prompt", NativeMethods.vexa_core_get_system_prompt); } }
        public string LastLlmRequestId { get { return ReadText("request_id", NativeMethods.vexa_core_last_llm_request_id); } }

        // ---- sessions -------------------------------------------------------

        public void NewSession() { Check(NativeMethods.vexa_core_new_session(Handle)); }
        public void ClearSession() { Check(NativeMethods.vexa_core_clear_session(Handle)); }
        public void SaveSession() { Check(NativeMethods.vexa_core_save_session(Handle)); }

        public void LoadSession(string sessionId)
        {
            if (sessionId == null) throw new ArgumentNullException("sessionId");
            Check(NativeMethods.vexa_core_load_session(Handle, Utf8.Bytes(sessionId)));
        }

        // Appends messages (JSON); returns how many were added.
        public int AddConversation(string json)
        {
            return CheckCount(NativeMethods.vexa_core_add_conversation_from_memory(Handle, Utf8.Bytes(json ?? "")));
        }

        // Replaces the conversation (JSON); returns the message count.
        public int SetConversation(string json)
        {
            return CheckCount(NativeMethods.vexa_core_set_conversation_from_memory(Handle, Utf8.Bytes(json ?? "[]")));
        }

        // ---- tools ----------------------------------------------------------

        // Registers (or replaces) a host tool. The handler runs on the turn's
        // thread or a pool thread; an exception becomes a failed tool result.
        public void RegisterTool(ToolSpec spec, ToolHandler handler)
        {
            if (spec == null) throw new ArgumentNullException("spec");
            IntPtr handle = Handle;
            VexaCoreToolExecutor executor = null;
            if (handler != null)
            {
                executor = (arguments, userData) =>
                {
                    EnterCallback();
                    try
                    {
                        return RunTool(handler, Utf8.Read(arguments));
                    }
                    finally
                    {
                        LeaveCallback();
                    }
                };
                KeepAlive(executor);
            }
            using (var arena = new Utf8Arena())
            {
                var native = new VexaCoreToolSpec
                {
                    name = arena.Text(spec.Name ?? ""),
                    description = arena.Text(spec.Description),
                    type = arena.Text(spec.Type),
                    properties_json = arena.Text(spec.PropertiesJson),
                    parameters_json = arena.Text(spec.ParametersJson),
                    required = arena.TextArray(spec.Required),
                    required_count = spec.Required == null ? 0 : spec.Required.Count,
                    keywords = arena.TextArray(spec.Keywords),
                    keyword_count = spec.Keywords == null ? 0 : spec.Keywords.Count,
                };
                Check(NativeMethods.vexa_core_register_tool(handle, ref native, executor, IntPtr.Zero));
            }
        }

        public void RegisterTool(string name, string description, string parametersJson, ToolHandler handler)
        {
            RegisterTool(new ToolSpec { Name = name, Description = description, ParametersJson = parametersJson },
                         handler);
        }

        private static IntPtr RunTool(ToolHandler handler, string arguments)
        {
            string result;
            try
            {
                result = handler(arguments) ?? "";
            }
            catch (Exception ex)
            {
                result = "{\"success\":false,\"error\":" + Json.Quote(ex.Message) + "}";
            }
            // The library copies the text as soon as we return; the buffer of
            // this thread's previous call is no longer needed by then.
            if (toolResultBuffer_ != IntPtr.Zero) Marshal.FreeHGlobal(toolResultBuffer_);
            toolResultBuffer_ = Utf8.Alloc(result);
            return toolResultBuffer_;
        }

        // The executor stays alive with the session: a turn may still hold the tool.
        public void UnregisterTool(string name)
        {
            if (name == null) throw new ArgumentNullException("name");
            Check(NativeMethods.vexa_core_unregister_tool(Handle, Utf8.Bytes(name)));
        }

        // Adds registered tools to the running turn's offer; callable from a tool handler.
        public void RequestTools(params string[] names)
        {
            if (names == null || names.Length == 0) throw new ArgumentException("no tool names", "names");
            IntPtr handle = CallbackSafeHandle;
            using (var arena = new Utf8Arena())
            {
                var pointers = new IntPtr[names.Length];
                for (int i = 0; i < names.Length; ++i) pointers[i] = arena.Text(names[i]);
                Check(NativeMethods.vexa_core_request_tools(handle, pointers, pointers.Length));
            }
        }

        // Installs the confirmation hook; null removes it. An exception in the
        // hook rejects the call.
        public void SetToolConfirm(ToolConfirmHandler confirm)
        {
            IntPtr handle = Handle;
            if (confirm == null)
            {
                NativeMethods.vexa_core_set_tool_confirm_callback(handle, null, IntPtr.Zero);
                return;
            }
            VexaCoreToolConfirm native = (name, arguments, userData) =>
            {
                EnterCallback();
                try
                {
                    return confirm(Utf8.Read(name), Utf8.Read(arguments)) ? 1 : 0;
                }
                catch (Exception)
                {
                    return 0;
                }
                finally
                {
                    LeaveCallback();
                }
            };
            KeepAlive(native);
            NativeMethods.vexa_core_set_tool_confirm_callback(handle, native, IntPtr.Zero);
        }

        // ---- prompts, model, knowledge --------------------------------------

        public void SetSystemPrompt(string text) { NativeMethods.vexa_core_set_system_prompt(Handle, Utf8.Bytes(text ?? "")); }
        public void AddSystemPrompt(string text) { NativeMethods.vexa_core_add_system_prompt(Handle, Utf8.Bytes(text ?? "")); }

        public void SetHostLlmContext(HostLlmContext context)
        {
            if (context == null) throw new ArgumentNullException("context");
            IntPtr handle = Handle;
            using (var arena = new Utf8Arena())
            {
                var native = new VexaCoreHostLlmContext
                {
                    gateway_url = arena.Text(context.GatewayUrl),
                    cookie = arena.Text(context.Cookie),
                    referer = arena.Text(context.Referer),
                    user = arena.Text(context.User),
                    qorbin_ext = arena.Text(context.QorbinExt),
                };
                Check(NativeMethods.vexa_core_set_host_llm_context(handle, ref native));
            }
        }

        // Overrides the configured model settings for this session; null clears the override.
        public void SetLlmOverride(LlmOverride settings)
        {
            IntPtr handle = Handle;
            settings = settings ?? new LlmOverride();
            using (var arena = new Utf8Arena())
            {
                var native = new VexaCoreLlmOverride
                {
                    base_url = arena.Text(settings.BaseUrl),
                    api_key = arena.Text(settings.ApiKey),
                    model = arena.Text(settings.Model),
                    has_temperature = settings.Temperature.HasValue ? 1 : 0,
                    temperature = settings.Temperature.GetValueOrDefault(),
                    has_max_tokens = settings.MaxTokens.HasValue ? 1 : 0,
                    max_tokens = settings.MaxTokens.GetValueOrDefault(),
                    has_timeout_seconds = settings.TimeoutSeconds.HasValue ? 1 : 0,
                    timeout_seconds = settings.TimeoutSeconds.GetValueOrDefault(),
                    backend = arena.Text(settings.Backend),
                };
                Check(NativeMethods.vexa_core_set_llm_override(handle, ref native));
            }
        }

        // Replaces the skill library (JSON array); returns the skill count.
        public int SetSkills(string json)
        {
            return CheckCount(NativeMethods.vexa_core_set_skills_from_memory(Handle, Utf8.Bytes(json ?? "[]")));
        }

        public void SetIdentity(string json) { Check(NativeMethods.vexa_core_set_identity_from_memory(Handle, Utf8.Bytes(json ?? ""))); }
        public void SetSoul(string text) { Check(NativeMethods.vexa_core_set_soul_from_memory(Handle, Utf8.Bytes(text ?? ""))); }

        // ---- events -----------------------------------------------------------

        private void OnBackgroundEvent(IntPtr record, IntPtr userData)
        {
            EnterCallback();
            try
            {
                Raise(AgentEvent.FromNative(record));
            }
            catch (Exception)
            {
                // A notice with no turn to fail: nothing may unwind into native code.
            }
            finally
            {
                LeaveCallback();
            }
        }

        private void Raise(AgentEvent e)
        {
            EventHandler<AgentEvent> handlers = EventReceived;
            if (handlers != null) handlers(this, e);
        }
    }

    // The events of one turn, produced on a worker thread and consumed by a
    // foreach. Enumerate it once. Success and Error are set when the turn ends.
    public sealed class TurnStream : IEnumerable<AgentEvent>
    {
        private readonly Session session_;
        private readonly string text_;
        private readonly ChatOptions options_;
        private int started_;

        public bool Success { get; private set; }
        public string Error { get; private set; }
        public string Answer { get; private set; }

        internal TurnStream(Session session, string text, ChatOptions options)
        {
            session_ = session;
            text_ = text;
            options_ = options;
            Error = string.Empty;
            Answer = string.Empty;
        }

        public IEnumerator<AgentEvent> GetEnumerator()
        {
            if (Interlocked.Exchange(ref started_, 1) != 0)
                throw new InvalidOperationException("a TurnStream is enumerated only once");
            return Run();
        }

        System.Collections.IEnumerator System.Collections.IEnumerable.GetEnumerator()
        {
            return GetEnumerator();
        }

        private IEnumerator<AgentEvent> Run()
        {
            // A null item marks the end of the turn.
            var queue = new BlockingCollection<AgentEvent>();
            var worker = new Thread(() =>
            {
                try
                {
                    Answer = session_.Chat(text_, options_, e => queue.Add(e));
                    Success = true;
                }
                catch (VexaCoreException ex)
                {
                    Error = ex.LastError.Length > 0 ? ex.LastError : ex.Message;
                }
                catch (Exception ex)
                {
                    Error = ex.Message;
                }
                finally
                {
                    queue.Add(null);
                }
            });
            worker.IsBackground = true;
            worker.Start();
            bool finished = false;
            try
            {
                while (true)
                {
                    AgentEvent e = queue.Take();
                    if (e == null)
                    {
                        finished = true;
                        break;
                    }
                    yield return e;
                }
            }
            finally
            {
                if (!finished) session_.Cancel();
                worker.Join();
                queue.Dispose();
            }
        }
    }

    internal static class Json
    {
        public static string Quote(string text)
        {
            var sb = new StringBuilder("\"");
            foreach (char c in text ?? "")
            {
                switch (c)
                {
                    case '"': sb.Append("\\\""); break;
                    case '\\': sb.Append("\\\\"); break;
                    case '\n': sb.Append("\\n"); break;
                    case '\r': sb.Append("\\r"); break;
                    case '\t': sb.Append("\\t"); break;
                    default:
                        if (c < 0x20) sb.Append("\\u").Append(((int)c).ToString("x4"));
                        else sb.Append(c);
                        break;
                }
            }
            return sb.Append('"').ToString();
        }
    }
}
