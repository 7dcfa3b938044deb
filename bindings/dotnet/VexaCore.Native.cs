// P/Invoke declarations of the vexa_core C interface (include/vexa_core/vexa_core.h).
//
// Every text crosses the boundary as NUL-terminated UTF-8: parameters are
// byte arrays made by Utf8.Bytes (or IntPtr into memory from Utf8Arena inside
// records), results are IntPtr read with Utf8.Read. The runtime's own string
// marshalling is not used because its UTF-8 support differs between Mono and
// .NET Framework.
//
// The records use sequential layout with natural alignment, which reproduces
// the C layout on both 32-bit and 64-bit targets; NativeLayout.Check compares
// them with the sizes and offsets the header asserts for 64-bit targets.
//
// Kept C# 7 compatible so that Mono's mcs compiles it; DllImport("vexa_core")
// resolves vexa_core.dll on Windows and libvexa_core.so elsewhere.

using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace VexaCore.Interop
{
    public static class PolicyBits
    {
        public const uint NoLocalSkills = 0x01;
        public const uint NoLocalSoul = 0x02;
        public const uint NoLocalIdentity = 0x04;
        public const uint NoLocalMemory = 0x08;
        public const uint NoPersistence = 0x20;
        public const uint NoModelTool = 0x40;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VexaCoreInitOptions
    {
        public IntPtr base_dir;
        public IntPtr config_path;
        public uint host_policy_flags;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VexaCoreChatOptions
    {
        public int stream_content;
        public int stream_reasoning;
        public int emit_tool_events;
        public int max_tool_rounds;
        public int orchestration;
        public IntPtr tools;              // const char* const*
        public int tool_count;
        public IntPtr turn_system_prompt;
        public int only_listed_tools;
        public uint struct_size;          // Marshal.SizeOf(typeof(VexaCoreChatOptions))
        public IntPtr images_json;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VexaCoreToolSpec
    {
        public IntPtr name;
        public IntPtr description;
        public IntPtr type;
        public IntPtr properties_json;
        public IntPtr parameters_json;
        public IntPtr required;           // const char* const*
        public int required_count;
        public IntPtr keywords;           // const char* const*
        public int keyword_count;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VexaCoreLlmOverride
    {
        public IntPtr base_url;
        public IntPtr api_key;
        public IntPtr model;
        public int has_temperature;
        public double temperature;
        public int has_max_tokens;
        public int max_tokens;
        public int has_timeout_seconds;
        public int timeout_seconds;
        public IntPtr backend;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VexaCoreHostLlmContext
    {
        public IntPtr gateway_url;
        public IntPtr cookie;
        public IntPtr referer;
        public IntPtr user;
        public IntPtr qorbin_ext;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VexaCoreEvent
    {
        public int type;
        public IntPtr state;
        public IntPtr text;
        public IntPtr tool_name;
        public IntPtr tool_arguments;
        public IntPtr tool_result;
        public int success;
        public IntPtr task_id;
        public IntPtr segment;
    }

    // The event record is passed as a pointer and read with Marshal.PtrToStructure
    // only while the callback runs; it is valid for no longer.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void VexaCoreEventCallback(IntPtr evt, IntPtr user_data);

    // The result must stay valid until the executor returns; the library copies it then.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate IntPtr VexaCoreToolExecutor(IntPtr arguments_json, IntPtr user_data);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate int VexaCoreToolConfirm(IntPtr tool_name, IntPtr arguments_json, IntPtr user_data);

    // The 32 functions. Delegates handed to them must be kept reachable for as
    // long as the library may call them (the wrapper holds them until the
    // handle is destroyed).
    public static class NativeMethods
    {
        public const string Library = "vexa_core";
        private const CallingConvention Conv = CallingConvention.Cdecl;

        // lifecycle
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_create();
        [DllImport(Library, CallingConvention = Conv)]
        public static extern void vexa_core_destroy(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_initialize(IntPtr handle, ref VexaCoreInitOptions options,
                                                      VexaCoreEventCallback on_event, IntPtr user_data);
        // options NULL = defaults
        [DllImport(Library, CallingConvention = Conv, EntryPoint = "vexa_core_initialize")]
        public static extern int vexa_core_initialize_defaults(IntPtr handle, IntPtr options,
                                                               VexaCoreEventCallback on_event, IntPtr user_data);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern void vexa_core_shutdown(IntPtr handle);

        // turns
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_send_text_stream(IntPtr handle, byte[] text, ref VexaCoreChatOptions options,
                                                            VexaCoreEventCallback on_event, IntPtr user_data);
        // options NULL = defaults (every event stream on)
        [DllImport(Library, CallingConvention = Conv, EntryPoint = "vexa_core_send_text_stream")]
        public static extern int vexa_core_send_text_stream_defaults(IntPtr handle, byte[] text, IntPtr options,
                                                                     VexaCoreEventCallback on_event, IntPtr user_data);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern void vexa_core_cancel(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_is_cancel_requested(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_oneshot_completion(IntPtr handle, byte[] messages_json, byte[] options_json);

        // texts
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_last_error(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_current_state(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_current_model(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_current_session_id(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_model_status_json(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_get_system_prompt(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern IntPtr vexa_core_last_llm_request_id(IntPtr handle);

        // sessions
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_new_session(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_clear_session(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_save_session(IntPtr handle);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_load_session(IntPtr handle, byte[] session_id);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_add_conversation_from_memory(IntPtr handle, byte[] json);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_set_conversation_from_memory(IntPtr handle, byte[] json);

        // tools
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_register_tool(IntPtr handle, ref VexaCoreToolSpec spec,
                                                         VexaCoreToolExecutor executor, IntPtr user_data);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_unregister_tool(IntPtr handle, byte[] name);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_request_tools(IntPtr handle, IntPtr[] names, int count);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern void vexa_core_set_tool_confirm_callback(IntPtr handle, VexaCoreToolConfirm confirm,
                                                                      IntPtr user_data);

        // prompts, model, knowledge
        [DllImport(Library, CallingConvention = Conv)]
        public static extern void vexa_core_set_system_prompt(IntPtr handle, byte[] text);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern void vexa_core_add_system_prompt(IntPtr handle, byte[] text);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_set_host_llm_context(IntPtr handle, ref VexaCoreHostLlmContext context);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_set_llm_override(IntPtr handle, ref VexaCoreLlmOverride llm_override);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_set_skills_from_memory(IntPtr handle, byte[] json);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_set_identity_from_memory(IntPtr handle, byte[] json);
        [DllImport(Library, CallingConvention = Conv)]
        public static extern int vexa_core_set_soul_from_memory(IntPtr handle, byte[] text);
    }

    // UTF-8 conversion at the boundary.
    public static class Utf8
    {
        private static readonly UTF8Encoding Encoding = new UTF8Encoding(false, false);

        // NUL-terminated UTF-8 bytes of the text; null stays null (a NULL pointer).
        public static byte[] Bytes(string text)
        {
            if (text == null) return null;
            int count = Encoding.GetByteCount(text);
            var bytes = new byte[count + 1];
            Encoding.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        // Copies a NUL-terminated UTF-8 text; NULL reads as "".
        public static string Read(IntPtr text)
        {
            if (text == IntPtr.Zero) return string.Empty;
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            if (length == 0) return string.Empty;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.GetString(bytes);
        }

        // A NUL-terminated copy in unmanaged memory; the caller frees it with Marshal.FreeHGlobal.
        public static IntPtr Alloc(string text)
        {
            byte[] bytes = Bytes(text ?? string.Empty);
            IntPtr memory = Marshal.AllocHGlobal(bytes.Length);
            Marshal.Copy(bytes, 0, memory, bytes.Length);
            return memory;
        }
    }

    // Unmanaged memory for the texts and arrays inside one call's records;
    // everything is freed together once the call has returned.
    public sealed class Utf8Arena : IDisposable
    {
        private readonly List<IntPtr> blocks_ = new List<IntPtr>();

        // NULL for a null text.
        public IntPtr Text(string text)
        {
            if (text == null) return IntPtr.Zero;
            IntPtr p = Utf8.Alloc(text);
            blocks_.Add(p);
            return p;
        }

        // A const char* const* array of the texts; NULL for null or empty lists.
        public IntPtr TextArray(IList<string> texts)
        {
            if (texts == null || texts.Count == 0) return IntPtr.Zero;
            IntPtr array = Marshal.AllocHGlobal(IntPtr.Size * texts.Count);
            blocks_.Add(array);
            for (int i = 0; i < texts.Count; ++i)
                Marshal.WriteIntPtr(array, i * IntPtr.Size, Text(texts[i]));
            return array;
        }

        public void Dispose()
        {
            foreach (IntPtr p in blocks_) Marshal.FreeHGlobal(p);
            blocks_.Clear();
        }
    }

    // Compares the records' managed layout with what the header asserts for
    // 64-bit targets, so that a drifted declaration fails before it corrupts memory.
    public static class NativeLayout
    {
        private static readonly object[][] Expected =
        {
            new object[] { typeof(VexaCoreInitOptions), 24, "host_policy_flags", 16 },
            new object[] { typeof(VexaCoreChatOptions), 64, "orchestration", 16, "tools", 24, "tool_count", 32,
                           "turn_system_prompt", 40, "only_listed_tools", 48, "struct_size", 52, "images_json", 56 },
            new object[] { typeof(VexaCoreToolSpec), 72, "parameters_json", 32, "required", 40, "required_count", 48,
                           "keywords", 56, "keyword_count", 64 },
            new object[] { typeof(VexaCoreLlmOverride), 64, "has_temperature", 24, "temperature", 32,
                           "has_max_tokens", 40, "max_tokens", 44, "has_timeout_seconds", 48,
                           "timeout_seconds", 52, "backend", 56 },
            new object[] { typeof(VexaCoreHostLlmContext), 40, "qorbin_ext", 32 },
            new object[] { typeof(VexaCoreEvent), 72, "state", 8, "tool_result", 40, "success", 48,
                           "task_id", 56, "segment", 64 },
        };

        // Descriptions of every mismatch; empty when the layouts agree or the
        // process is not 64-bit (the header documents 64-bit layouts only).
        public static List<string> Mismatches()
        {
            var problems = new List<string>();
            if (IntPtr.Size != 8) return problems;
            foreach (object[] row in Expected)
            {
                var type = (Type)row[0];
                int size = Marshal.SizeOf(type);
                if (size != (int)row[1])
                    problems.Add(type.Name + ": size " + size + ", expected " + row[1]);
                for (int i = 2; i + 1 < row.Length; i += 2)
                {
                    var field = (string)row[i];
                    int offset = Marshal.OffsetOf(type, field).ToInt32();
                    if (offset != (int)row[i + 1])
                        problems.Add(type.Name + "." + field + ": offset " + offset + ", expected " + row[i + 1]);
                }
            }
            return problems;
        }

        public static void Check()
        {
            List<string> problems = Mismatches();
            if (problems.Count > 0)
                throw new InvalidOperationException("vexa_core record layout mismatch: " + string.Join("; ", problems));
        }
    }
}
