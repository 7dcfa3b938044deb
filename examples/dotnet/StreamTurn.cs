// Streams one turn through the C# binding, with a "clock" tool the model may
// call to learn the current time.
//
// Environment:
//   VEXA_BASE_DIR  base directory (config/agent_config.json, data/); default "."
//   VEXA_BASE_URL  chat-completions server, e.g. http://127.0.0.1:8080/v1;
//                  unset = the server of agent_config.json
//   VEXA_MODEL     model name (with VEXA_BASE_URL); VEXA_API_KEY its key
//   VEXA_PROMPT    the user's text; default "What time is it?"
//
// Build and run (libvexa_core.so in build/):
//   mcs -out:build/StreamTurn.exe examples/dotnet/StreamTurn.cs bindings/dotnet/*.cs &&
//   LD_LIBRARY_PATH=build VEXA_BASE_URL=http://127.0.0.1:8080/v1 VEXA_MODEL=my-model mono build/StreamTurn.exe

using System;
using VexaCore;
using VexaCore.Interop;

internal static class StreamTurn
{
    private static string Env(string name, string fallback = null)
    {
        string value = Environment.GetEnvironmentVariable(name);
        return string.IsNullOrEmpty(value) ? fallback : value;
    }

    private static int Main()
    {
        using (var session = new Session(Env("VEXA_BASE_DIR", "."), null, PolicyBits.NoLocalMemory))
        {
            if (Env("VEXA_BASE_URL") != null)
            {
                session.SetLlmOverride(new LlmOverride
                {
                    Backend = "openai",
                    BaseUrl = Env("VEXA_BASE_URL"),
                    Model = Env("VEXA_MODEL"),
                    ApiKey = Env("VEXA_API_KEY"),
                });
            }

            session.RegisterTool("clock", "Returns the current UTC date and time.",
                                 "{\"type\":\"object\",\"properties\":{}}",
                                 args => "{\"success\":true,\"utc\":\"" +
                                         DateTime.UtcNow.ToString("yyyy-MM-dd'T'HH:mm:ss'Z'", System.Globalization.CultureInfo.InvariantCulture) + "\"}");

            TurnStream turn = session.Stream(Env("VEXA_PROMPT", "What time is it?"));
            foreach (AgentEvent e in turn)
            {
                switch (e.Type)
                {
                    case EventType.ContentDelta:
                        Console.Write(e.Text);
                        break;
                    case EventType.ToolCallStarted:
                        Console.WriteLine("\n[tool] " + e.ToolName + " " + e.ToolArguments);
                        break;
                    case EventType.ToolCallFinished:
                        Console.WriteLine("[tool] " + e.ToolName + " -> " + e.ToolResult);
                        break;
                    case EventType.Error:
                        Console.Error.WriteLine("\n[error] " + e.Text);
                        break;
                }
            }
            Console.WriteLine();
            if (!turn.Success) Console.Error.WriteLine("turn failed: " + turn.Error);
            return turn.Success ? 0 : 1;
        }
    }
}
