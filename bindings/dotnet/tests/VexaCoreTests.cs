// Tests of the C# binding: whole turns through the native library against the
// scripted loopback server program, under mono (or .NET).
//
// Environment:
//   VEXA_SCRIPTED_SERVER  path of the vexa_scripted_server program (required)
//   LD_LIBRARY_PATH       must let the runtime find libvexa_core.so
// Exit status 0 when every test passed.

using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using VexaCore;
using VexaCore.Interop;

namespace VexaCore.Tests
{
    // A minimal JSON reader for the recorded requests: objects become
    // Dictionary<string, object>, arrays List<object>, numbers double.
    internal sealed class JsonReader
    {
        private readonly string s_;
        private int i_;

        private JsonReader(string s) { s_ = s; }

        public static object Parse(string text)
        {
            var r = new JsonReader(text);
            object v = r.Value();
            r.Space();
            if (r.i_ != r.s_.Length) throw new FormatException("trailing text at " + r.i_);
            return v;
        }

        private void Space() { while (i_ < s_.Length && char.IsWhiteSpace(s_[i_])) ++i_; }

        private object Value()
        {
            Space();
            char c = s_[i_];
            if (c == '{')
            {
                ++i_;
                var o = new Dictionary<string, object>();
                Space();
                if (s_[i_] == '}') { ++i_; return o; }
                while (true)
                {
                    Space();
                    string key = String();
                    Space();
                    Expect(':');
                    o[key] = Value();
                    Space();
                    if (s_[i_] == ',') { ++i_; continue; }
                    Expect('}');
                    return o;
                }
            }
            if (c == '[')
            {
                ++i_;
                var a = new List<object>();
                Space();
                if (s_[i_] == ']') { ++i_; return a; }
                while (true)
                {
                    a.Add(Value());
                    Space();
                    if (s_[i_] == ',') { ++i_; continue; }
                    Expect(']');
                    return a;
                }
            }
            if (c == '"') return String();
            if (s_.Substring(i_).StartsWith("true")) { i_ += 4; return true; }
            if (s_.Substring(i_).StartsWith("false")) { i_ += 5; return false; }
            if (s_.Substring(i_).StartsWith("null")) { i_ += 4; return null; }
            int start = i_;
            while (i_ < s_.Length && "+-0123456789.eE".IndexOf(s_[i_]) >= 0) ++i_;
            return double.Parse(s_.Substring(start, i_ - start), CultureInfo.InvariantCulture);
        }

        private void Expect(char c)
        {
            if (s_[i_] != c) throw new FormatException("expected '" + c + "' at " + i_);
            ++i_;
        }

        private string String()
        {
            Expect('"');
            var sb = new StringBuilder();
            while (s_[i_] != '"')
            {
                char c = s_[i_++];
                if (c != '\\') { sb.Append(c); continue; }
                char e = s_[i_++];
                switch (e)
                {
                    case 'n': sb.Append('\n'); break;
                    case 'r': sb.Append('\r'); break;
                    case 't': sb.Append('\t'); break;
                    case 'b': sb.Append('\b'); break;
                    case 'f': sb.Append('\f'); break;
                    case 'u':
                        sb.Append((char)Convert.ToInt32(s_.Substring(i_, 4), 16));
                        i_ += 4;
                        break;
                    default: sb.Append(e); break;
                }
            }
            ++i_;
            return sb.ToString();
        }
    }

    internal static class J
    {
        public static string Q(string text)
        {
            var sb = new StringBuilder("\"");
            foreach (char c in text)
            {
                if (c == '"' || c == '\\') sb.Append('\\').Append(c);
                else if (c == '\n') sb.Append("\\n");
                else if (c < 0x20) sb.Append("\\u").Append(((int)c).ToString("x4"));
                else sb.Append(c);
            }
            return sb.Append('"').ToString();
        }

        public static object At(object node, params object[] path)
        {
            foreach (object step in path)
            {
                if (step is string) node = ((Dictionary<string, object>)node)[(string)step];
                else node = ((List<object>)node)[(int)step];
            }
            return node;
        }

        // Chat-completions stream chunks.
        public static string Delta(string deltaJson, string finish = null)
        {
            return "{\"id\":\"resp-test\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":" +
                   deltaJson + (finish == null ? "" : ",\"finish_reason\":" + Q(finish)) + "}]}";
        }

        public static string Answer(params string[] pieces)
        {
            var chunks = pieces.Select(p => Q(Delta("{\"content\":" + Q(p) + "}"))).ToList();
            chunks.Add(Q(Delta("{}", "stop")));
            return "{\"sse\":[" + string.Join(",", chunks) + "]}";
        }

        public static string ToolCall(string id, string name, string arguments)
        {
            string call = "{\"tool_calls\":[{\"index\":0,\"id\":" + Q(id) + ",\"type\":\"function\",\"function\":{\"name\":" +
                          Q(name) + ",\"arguments\":" + Q(arguments) + "}}]}";
            return "{\"sse\":[" + Q(Delta(call)) + "," + Q(Delta("{}", "tool_calls")) + "]}";
        }

        // Sends `text`, then stays silent with the stream unfinished.
        public static string Stalled(string text)
        {
            return "{\"chunks\":[{\"data\":" + Q("data: " + Delta("{\"content\":" + Q(text) + "}") + "\n\n") +
                   "}],\"headers\":[[\"Content-Type\",\"text/event-stream\"]],\"end\":\"hang\",\"hang_limit_ms\":20000}";
        }
    }

    // One vexa_scripted_server process with its script; Finish() stops it and
    // returns the requests it recorded.
    internal sealed class ServerProcess : IDisposable
    {
        private readonly Process process_;
        private readonly string requestsPath_;
        public int Port { get; private set; }
        public string BaseUrl { get { return "http://127.0.0.1:" + Port + "/v1"; } }

        public ServerProcess(string dir, params string[] responses)
        {
            string script = Path.Combine(dir, "script.json");
            requestsPath_ = Path.Combine(dir, "requests.json");
            File.WriteAllText(script, "{\"responses\":[" + string.Join(",", responses) + "]}");
            string program = Environment.GetEnvironmentVariable("VEXA_SCRIPTED_SERVER");
            if (string.IsNullOrEmpty(program)) throw new InvalidOperationException("VEXA_SCRIPTED_SERVER is not set");
            var info = new ProcessStartInfo(program, "\"" + script + "\" --requests \"" + requestsPath_ + "\"")
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
            };
            process_ = Process.Start(info);
            string line = process_.StandardOutput.ReadLine();
            if (line == null || !line.StartsWith("PORT "))
                throw new InvalidOperationException("scripted server did not start: " + line);
            Port = int.Parse(line.Substring(5), CultureInfo.InvariantCulture);
        }

        public List<object> Finish()
        {
            if (!process_.HasExited)
            {
                process_.StandardInput.Close();
                if (!process_.WaitForExit(10000)) throw new InvalidOperationException("scripted server did not stop");
            }
            return (List<object>)JsonReader.Parse(File.ReadAllText(requestsPath_));
        }

        public void Dispose()
        {
            try
            {
                if (!process_.HasExited)
                {
                    process_.StandardInput.Close();
                    if (!process_.WaitForExit(5000)) process_.Kill();
                }
            }
            catch (Exception)
            {
            }
            process_.Dispose();
        }
    }

    // A temporary base directory with agent_config.json pointing at a server.
    internal sealed class BaseDir : IDisposable
    {
        public string Path { get; private set; }

        public BaseDir()
        {
            Path = System.IO.Path.Combine(System.IO.Path.GetTempPath(), "vexa_dotnet_test_" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(System.IO.Path.Combine(Path, "config"));
        }

        public void WriteConfig(string baseUrl)
        {
            File.WriteAllText(System.IO.Path.Combine(Path, "config", "agent_config.json"),
                "{\n" +
                "  \"llm\": {\"backend\": \"openai\", \"base_url\": " + J.Q(baseUrl) + ", \"api_key\": \"test-key\",\n" +
                "          \"model\": \"test-model\", \"temperature\": 0.0, \"max_tokens\": 256, \"timeout_seconds\": 10},\n" +
                "  \"agent\": {\"name\": \"Vexa\", \"max_tool_rounds\": 0, \"orchestration_enabled\": false,\n" +
                "            \"max_parallel_tasks\": 4, \"compression_threshold\": 8, \"compression_keep_recent\": 4},\n" +
                "  \"paths\": {\"conversations_dir\": \"./data/conversations\",\n" +
                "            \"conversations_full_dir\": \"./data/conversations_full\"},\n" +
                "  \"perf\": {\"enabled\": true}\n" +
                "}\n");
        }

        public void Dispose()
        {
            try { Directory.Delete(Path, true); } catch (Exception) { }
        }
    }

    // A server, a configured base directory and an initialised session.
    internal sealed class Fixture : IDisposable
    {
        public readonly BaseDir Dir = new BaseDir();
        public readonly ServerProcess Server;
        public readonly Session Session;

        public Fixture(params string[] responses)
        {
            Server = new ServerProcess(Dir.Path, responses);
            Dir.WriteConfig(Server.BaseUrl);
            Session = new Session(Dir.Path, null, PolicyBits.NoLocalMemory | PolicyBits.NoPersistence);
        }

        public void Dispose()
        {
            Session.Dispose();
            Server.Dispose();
            Dir.Dispose();
        }
    }

    internal sealed class Events
    {
        private readonly List<AgentEvent> list_ = new List<AgentEvent>();

        public void Add(AgentEvent e) { lock (list_) { list_.Add(e); Monitor.PulseAll(list_); } }

        public List<AgentEvent> All { get { lock (list_) return new List<AgentEvent>(list_); } }

        public int IndexOf(EventType type)
        {
            List<AgentEvent> all = All;
            return all.FindIndex(e => e.Type == type);
        }
    }

    internal static class Program
    {
        private static int checks_;
        private static int failures_;
        private static string current_;

        private static void Check(bool condition, string what)
        {
            ++checks_;
            if (condition) return;
            ++failures_;
            Console.WriteLine("  FAILED in " + current_ + ": " + what);
        }

        private static void Equal<T>(T expected, T actual, string what)
        {
            Check(EqualityComparer<T>.Default.Equals(expected, actual),
                  what + ": expected <" + expected + ">, got <" + actual + ">");
        }

        private static string Ms(Stopwatch watch)
        {
            return watch.Elapsed.TotalMilliseconds.ToString("F1", CultureInfo.InvariantCulture);
        }

        private const string ClockSchema =
            "{\"type\":\"object\",\"properties\":{\"zone\":{\"type\":\"string\",\"description\":\"time zone\"}},\"required\":[\"zone\"]}";

        private static void RecordLayoutsMatchTheHeader()
        {
            Equal(8, IntPtr.Size, "64-bit process");
            List<string> problems = NativeLayout.Mismatches();
            Check(problems.Count == 0, "layout: " + string.Join("; ", problems));
        }

        // A tool round and an answer, with Chinese text both ways.
        private static void WholeTurnWithATool()
        {
            using (var f = new Fixture(J.ToolCall("call_1", "clock", "{\"zone\":\"上海\"}"),
                                       J.Answer("现在是", " noon.")))
            {
                var seen = new List<string>();
                f.Session.RegisterTool("clock", "Tells the time in a zone", ClockSchema, args =>
                {
                    lock (seen) seen.Add(args);
                    return "{\"success\":true,\"time\":\"12:00\",\"zone\":\"上海\"}";
                });
                var turn = new Events();
                var all = new Events();
                f.Session.EventReceived += (sender, e) => all.Add(e);

                string answer = f.Session.Chat("几点了?", null, turn.Add);

                Equal("现在是 noon.", answer, "answer");
                Equal(1, seen.Count, "tool calls");
                if (seen.Count == 1) Equal("{\"zone\":\"上海\"}", seen[0], "tool arguments");
                List<AgentEvent> events = turn.All;
                Equal(events.Count, all.All.Count, "EventReceived saw every turn event");
                int started = turn.IndexOf(EventType.ToolCallStarted);
                int finished = turn.IndexOf(EventType.ToolCallFinished);
                int content = turn.IndexOf(EventType.ContentDelta);
                int done = turn.IndexOf(EventType.Done);
                Check(started >= 0 && started < finished && finished < content && content < done,
                      "event order: started " + started + ", finished " + finished + ", content " + content +
                      ", done " + done);
                if (started >= 0)
                {
                    Equal("clock", events[started].ToolName, "started tool");
                    Equal("{\"zone\":\"上海\"}", events[started].ToolArguments, "started arguments");
                }
                if (finished >= 0)
                {
                    Check(events[finished].Success, "tool finished successfully");
                    Check(events[finished].ToolResult.Contains("12:00"), "tool result: " + events[finished].ToolResult);
                }
                Equal("现在是", events.First(e => e.Type == EventType.ContentDelta).Text, "first delta");
                Check(events.Any(e => e.Type == EventType.StateChanged && e.State == "tool_calling"), "tool_calling state");
                Equal("现在是 noon.", events[done].Text, "Done carries the answer");
                AgentEvent last = events[events.Count - 1];
                Check(last.Type == EventType.StateChanged && last.State == "idle", "ends idle: " + last);
                Equal("idle", f.Session.CurrentState, "state after the turn");
                Check(f.Session.LastLlmRequestId.Length > 0, "request id");

                List<object> requests = f.Server.Finish();
                Equal(2, requests.Count, "requests");
                if (requests.Count != 2) return;
                Equal("/v1/chat/completions", (string)J.At(requests[0], "target"), "target");
                var first = JsonReader.Parse((string)J.At(requests[0], "body"));
                var tools = (List<object>)J.At(first, "tools");
                var clock = tools.FirstOrDefault(t => (string)J.At(t, "function", "name") == "clock");
                Check(clock != null, "clock offered");
                if (clock != null)
                    Equal("time zone", (string)J.At(clock, "function", "parameters", "properties", "zone", "description"),
                          "schema sent");
                var second = JsonReader.Parse((string)J.At(requests[1], "body"));
                var toolMessage = ((List<object>)J.At(second, "messages"))
                    .FirstOrDefault(m => (string)J.At(m, "role") == "tool");
                Check(toolMessage != null, "tool message in the second request");
                if (toolMessage != null)
                {
                    Equal("call_1", (string)J.At(toolMessage, "tool_call_id"), "tool_call_id");
                    Check(((string)J.At(toolMessage, "content")).Contains("12:00"), "tool result reached the model");
                }
            }
        }

        private static List<string> OfferedTools(object request)
        {
            var body = JsonReader.Parse((string)J.At(request, "body"));
            var d = (Dictionary<string, object>)body;
            if (!d.ContainsKey("tools")) return new List<string>();
            return ((List<object>)d["tools"]).Select(t => (string)J.At(t, "function", "name")).OrderBy(n => n).ToList();
        }

        // The records built from ChatOptions and ToolSpec, and the name list of
        // RequestTools, arrive intact: the requests show what was offered.
        private static void OptionsAndToolListsReachTheModel()
        {
            using (var f = new Fixture(J.ToolCall("call_1", "clock", "{\"zone\":\"UTC\"}"), J.Answer("done")))
            {
                f.Session.RegisterTool(new ToolSpec
                {
                    Name = "clock",
                    Description = "Tells the time",
                    PropertiesJson = "{\"zone\":{\"type\":\"string\"}}",
                    Required = new[] { "zone" },
                }, args =>
                {
                    f.Session.RequestTools("calendar");
                    return "{\"success\":true}";
                });
                f.Session.RegisterTool(new ToolSpec { Name = "calendar", Description = "Lists events",
                                                      Keywords = new[] { "meeting", "日程" } },
                                       args => "{\"success\":true}");
                f.Session.RegisterTool("weather", "Tells the weather", "{\"type\":\"object\"}", args => "{}");
                var options = new ChatOptions
                {
                    Tools = new[] { "clock" },
                    OnlyListedTools = true,
                    TurnSystemPrompt = "Answer in one line.",
                    StreamReasoning = false,
                };
                Equal("done", f.Session.Chat("time?", options), "answer");

                List<object> requests = f.Server.Finish();
                Equal(2, requests.Count, "requests");
                if (requests.Count != 2) return;
                Equal("clock", string.Join(",", OfferedTools(requests[0])), "first offer");
                Equal("calendar,clock", string.Join(",", OfferedTools(requests[1])), "offer after RequestTools");
                var first = JsonReader.Parse((string)J.At(requests[0], "body"));
                var tools = (List<object>)J.At(first, "tools");
                var required = (List<object>)J.At(tools[0], "function", "parameters", "required");
                Equal("zone", required.Count == 1 ? (string)required[0] : null, "required list");
                Equal("object", (string)J.At(tools[0], "function", "parameters", "type"), "default schema type");
                var system = (string)J.At(first, "messages", 0, "content");
                Check(system.Contains("Answer in one line."), "turn system prompt sent");
            }
        }

        private static void ConfirmationHookRejectsACall()
        {
            using (var f = new Fixture(J.ToolCall("call_1", "clock", "{\"zone\":\"UTC\"}"), J.Answer("I could not.")))
            {
                int ran = 0;
                var asked = new List<string>();
                f.Session.RegisterTool("clock", "Tells the time", ClockSchema, args => { ++ran; return "{}"; });
                f.Session.SetToolConfirm((name, args) => { asked.Add(name + ":" + args); return false; });
                var turn = new Events();
                Equal("I could not.", f.Session.Chat("time?", null, turn.Add), "answer");
                Equal(0, ran, "rejected tool did not run");
                Equal(1, asked.Count, "hook asked once");
                if (asked.Count == 1) Equal("clock:{\"zone\":\"UTC\"}", asked[0], "hook arguments");
                AgentEvent finished = turn.All.FirstOrDefault(e => e.Type == EventType.ToolCallFinished);
                Check(finished != null && !finished.Success, "rejected call finished unsuccessfully");
                if (finished != null) Check(finished.ToolResult.Contains("rejected"), "result: " + finished.ToolResult);
            }
        }

        private static void ToolExceptionBecomesAFailedResult()
        {
            using (var f = new Fixture(J.ToolCall("call_1", "clock", "{\"zone\":\"Mars\"}"), J.Answer("No clock there.")))
            {
                f.Session.RegisterTool("clock", "Tells the time", ClockSchema, args =>
                {
                    throw new ArgumentException("unknown zone \"Mars\"");
                });
                var turn = new Events();
                Equal("No clock there.", f.Session.Chat("time on Mars?", null, turn.Add), "answer");
                AgentEvent finished = turn.All.FirstOrDefault(e => e.Type == EventType.ToolCallFinished);
                Check(finished != null && !finished.Success, "failed tool call");
                if (finished != null)
                {
                    var result = JsonReader.Parse(finished.ToolResult);
                    Equal(false, (bool)J.At(result, "success"), "result success");
                    Equal("unknown zone \"Mars\"", (string)J.At(result, "error"), "result error");
                }
            }
        }

        // Calls that would wait for the running turn are refused from inside its
        // own callbacks instead of hanging for ever; the callback-safe ones work.
        private static void SessionCallsFromCallbacksThrowInsteadOfHanging()
        {
            using (var f = new Fixture(J.ToolCall("call_1", "clock", "{\"zone\":\"UTC\"}"), J.Answer("done")))
            {
                Session s = f.Session;
                var refused = new Dictionary<string, string>();
                var attempts = new Dictionary<string, Action>
                {
                    { "Dispose", () => s.Dispose() },
                    { "Shutdown", () => s.Shutdown() },
                    { "Chat", () => s.Chat("nested") },
                    { "Stream", () => s.Stream("nested") },
                    { "ChatAsync", () => s.ChatAsync("nested") },
                    { "LastError", () => { string unused = s.LastError; } },
                    { "SaveSession", () => s.SaveSession() },
                };
                bool cancelRequested = true;
                Action<string> attemptAll = where =>
                {
                    foreach (var attempt in attempts)
                    {
                        try
                        {
                            attempt.Value();
                        }
                        catch (VexaCoreException ex)
                        {
                            refused[where + ":" + attempt.Key] = ex.Message;
                        }
                    }
                };
                s.RegisterTool("clock", "Tells the time", ClockSchema, args =>
                {
                    attemptAll("tool");
                    cancelRequested = s.IsCancelRequested;
                    return "{\"success\":true}";
                });
                s.SetToolConfirm((name, args) => { attemptAll("confirm"); return true; });
                string answer = null;
                Exception failure = null;
                var turn = new Thread(() =>
                {
                    try
                    {
                        answer = s.Chat("time?");
                    }
                    catch (Exception ex)
                    {
                        failure = ex;
                    }
                });
                turn.IsBackground = true;
                turn.Start();
                bool ended = turn.Join(20000);
                Check(ended, "the turn hangs: a call from a callback waits for it");
                if (!ended) return;
                Check(failure == null, "turn failed: " + failure);
                Equal("done", answer, "answer");
                Equal(attempts.Count * 2, refused.Count, "every waiting call refused in the tool and the hook");
                foreach (var entry in refused)
                    Check(entry.Value.Contains("cannot be called from inside a callback of the same session"),
                          entry.Key + ": " + entry.Value);
                string dispose;
                Check(refused.TryGetValue("tool:Dispose", out dispose) && dispose.StartsWith("Dispose cannot"),
                      "Dispose named");
                Equal(false, cancelRequested, "IsCancelRequested works from a tool");
                Equal("idle", s.CurrentState, "session usable afterwards");
            }
        }

        private static void CancelFromAnotherThreadEndsTheTurn()
        {
            using (var f = new Fixture(J.Stalled("Hel")))
            {
                var turn = new Events();
                var firstDelta = new ManualResetEventSlim();
                var watch = new Stopwatch();
                var canceller = new Thread(() =>
                {
                    if (!firstDelta.Wait(10000)) return;
                    watch.Start();
                    f.Session.Cancel();
                });
                canceller.Start();
                VexaCoreException error = null;
                try
                {
                    f.Session.Chat("hi", null, e =>
                    {
                        turn.Add(e);
                        if (e.Type == EventType.ContentDelta) firstDelta.Set();
                    });
                }
                catch (VexaCoreException ex)
                {
                    error = ex;
                }
                watch.Stop();
                canceller.Join();
                Console.WriteLine("  [ measured ] Chat returned " + Ms(watch) + " ms after Cancel()");
                Check(error != null, "cancelled turn throws");
                if (error != null) Equal("Generation cancelled.", error.LastError, "cancel reason");
                Check(watch.ElapsedMilliseconds < 5000, "cancel took " + watch.ElapsedMilliseconds + " ms");
                Equal("Hel", turn.All.First(e => e.Type == EventType.ContentDelta).Text, "partial delta");
                Equal("idle", f.Session.CurrentState, "state after cancel");
            }
        }

        private static void LeavingTheStreamCancelsTheTurn()
        {
            using (var f = new Fixture(J.Stalled("Hel"), J.Answer("again")))
            {
                TurnStream stream = f.Session.Stream("hi");
                var watch = new Stopwatch();
                var types = new List<EventType>();
                foreach (AgentEvent e in stream)
                {
                    types.Add(e.Type);
                    if (e.Type == EventType.ContentDelta)
                    {
                        watch.Start();
                        break;
                    }
                }
                watch.Stop();
                Console.WriteLine("  [ measured ] leaving the loop ended the turn in " + Ms(watch) + " ms");
                Check(watch.ElapsedMilliseconds < 5000, "break took " + watch.ElapsedMilliseconds + " ms");
                Check(!stream.Success, "stream reports the cancelled turn");
                Equal("Generation cancelled.", stream.Error, "stream error");

                // The session takes the next turn, streamed to the end.
                TurnStream next = f.Session.Stream("hi again");
                List<AgentEvent> events = next.ToList();
                Check(next.Success, "second turn succeeded: " + next.Error);
                Equal("again", next.Answer, "second answer");
                Check(events.Any(e => e.Type == EventType.Done && e.Text == "again"), "Done of the second turn");
            }
        }

        private static void ChatAsyncHonoursTheToken()
        {
            using (var f = new Fixture(J.Stalled("Hel")))
            using (var source = new CancellationTokenSource())
            {
                var task = f.Session.ChatAsync("hi", null, e =>
                {
                    if (e.Type == EventType.ContentDelta) source.Cancel();
                }, source.Token);
                bool ended = ((IAsyncResult)task).AsyncWaitHandle.WaitOne(10000);
                Check(ended, "task ended");
                if (!ended) return;
                Check(task.IsFaulted, "cancelled task faulted");
                var inner = task.Exception == null ? null : task.Exception.InnerException as VexaCoreException;
                Check(inner != null && inner.LastError == "Generation cancelled.", "task error");
            }
        }

        private static void FailuresCarryLastError()
        {
            using (var f = new Fixture())
            {
                var table = new[]
                {
                    new { What = "load unknown session", Call = (Action)(() => f.Session.LoadSession("no-such-session")) },
                    new { What = "unknown tool", Call = (Action)(() => f.Session.UnregisterTool("no-such-tool")) },
                    new { What = "bad conversation", Call = (Action)(() => f.Session.SetConversation("{not json")) },
                    new { What = "bad images", Call = (Action)(() => f.Session.Chat("look", new ChatOptions { ImagesJson = "[1" })) },
                };
                foreach (var row in table)
                {
                    VexaCoreException error = null;
                    try { row.Call(); } catch (VexaCoreException ex) { error = ex; }
                    Check(error != null, row.What + " throws");
                    if (error == null) continue;
                    Check(error.LastError.Length > 0, row.What + ": last_error set");
                    Equal(f.Session.LastError, error.LastError, row.What + ": carries last_error");
                    Equal(error.LastError, error.Message, row.What + ": message");
                }
                // A one-shot call reports its failure inside its result JSON.
                var oneshot = JsonReader.Parse(f.Session.OneshotCompletion("[]"));
                Equal(false, (bool)J.At(oneshot, "success"), "one-shot success");
                Equal("oneshot messages is empty", (string)J.At(oneshot, "error"), "one-shot error");
                Equal("oneshot messages is empty", f.Session.LastError, "one-shot last_error");
            }
        }

        private static void SessionsAndTexts()
        {
            using (var f = new Fixture())
            {
                Equal("test-model", f.Session.CurrentModel, "model");
                string first = f.Session.CurrentSessionId;
                Check(first.Length > 0, "session id");
                f.Session.NewSession();
                Check(f.Session.CurrentSessionId != first, "new session id");
                Equal(2, f.Session.SetConversation(
                    "[{\"role\":\"user\",\"content\":\"你好\"},{\"role\":\"assistant\",\"content\":\"hi\"}]"),
                    "conversation set");
                f.Session.SetSystemPrompt("Always answer in haiku.");
                Check(f.Session.SystemPrompt.Contains("Always answer in haiku."), "host prompt in the system prompt");
                f.Session.SetLlmOverride(new LlmOverride { Model = "other-model", Temperature = 0.5 });
                Equal("other-model", f.Session.CurrentModel, "override applied");
                Check(f.Session.ModelStatusJson.StartsWith("{"), "status json");
                Check(!f.Session.IsCancelRequested, "no cancel pending");
            }
            var disposed = new Session();
            disposed.Dispose();
            disposed.Dispose();
            bool threw = false;
            try { var s = disposed.LastError; } catch (ObjectDisposedException) { threw = true; }
            Check(threw, "disposed session refuses calls");
        }

        private static int Main(string[] args)
        {
            var tests = new List<KeyValuePair<string, Action>>
            {
                new KeyValuePair<string, Action>("RecordLayoutsMatchTheHeader", RecordLayoutsMatchTheHeader),
                new KeyValuePair<string, Action>("WholeTurnWithATool", WholeTurnWithATool),
                new KeyValuePair<string, Action>("OptionsAndToolListsReachTheModel", OptionsAndToolListsReachTheModel),
                new KeyValuePair<string, Action>("ConfirmationHookRejectsACall", ConfirmationHookRejectsACall),
                new KeyValuePair<string, Action>("ToolExceptionBecomesAFailedResult", ToolExceptionBecomesAFailedResult),
                new KeyValuePair<string, Action>("SessionCallsFromCallbacksThrowInsteadOfHanging",
                                                 SessionCallsFromCallbacksThrowInsteadOfHanging),
                new KeyValuePair<string, Action>("CancelFromAnotherThreadEndsTheTurn", CancelFromAnotherThreadEndsTheTurn),
                new KeyValuePair<string, Action>("LeavingTheStreamCancelsTheTurn", LeavingTheStreamCancelsTheTurn),
                new KeyValuePair<string, Action>("ChatAsyncHonoursTheToken", ChatAsyncHonoursTheToken),
                new KeyValuePair<string, Action>("FailuresCarryLastError", FailuresCarryLastError),
                new KeyValuePair<string, Action>("SessionsAndTexts", SessionsAndTexts),
            };
            string filter = args.Length > 0 ? args[0] : null;
            int failedTests = 0;
            foreach (var test in tests)
            {
                if (filter != null && !test.Key.Contains(filter)) continue;
                current_ = test.Key;
                int before = failures_;
                var watch = Stopwatch.StartNew();
                try
                {
                    test.Value();
                }
                catch (Exception ex)
                {
                    ++failures_;
                    Console.WriteLine("  FAILED in " + current_ + ": unexpected " + ex);
                }
                bool ok = failures_ == before;
                if (!ok) ++failedTests;
                Console.WriteLine((ok ? "[ OK ] " : "[FAIL] ") + test.Key + " (" + watch.ElapsedMilliseconds + " ms)");
            }
            Console.WriteLine(checks_ + " checks, " + failures_ + " failed, " + failedTests + " failing tests");
            return failures_ == 0 ? 0 : 1;
        }
    }
}
