#!/bin/sh
# Fails unless the dynamic symbol table of the shipped library holds exactly
# the 32 C functions and the members of vexa_core::CoreSession.
#   check_exports.sh <path to libvexa_core.so>
set -eu
lib=$1
expected_c="vexa_core_add_conversation_from_memory vexa_core_add_system_prompt vexa_core_cancel
vexa_core_clear_session vexa_core_create vexa_core_current_model vexa_core_current_session_id
vexa_core_current_state vexa_core_destroy vexa_core_get_system_prompt vexa_core_initialize
vexa_core_is_cancel_requested vexa_core_last_error vexa_core_last_llm_request_id vexa_core_load_session
vexa_core_model_status_json vexa_core_new_session vexa_core_oneshot_completion vexa_core_register_tool
vexa_core_request_tools vexa_core_save_session vexa_core_send_text_stream
vexa_core_set_conversation_from_memory vexa_core_set_host_llm_context vexa_core_set_identity_from_memory
vexa_core_set_llm_override vexa_core_set_skills_from_memory vexa_core_set_soul_from_memory
vexa_core_set_system_prompt vexa_core_set_tool_confirm_callback vexa_core_shutdown vexa_core_unregister_tool"
expected_methods="add_conversation_from_memory add_system_prompt agent_name cancel clear_session config_text
current_model current_model_status_json current_session_id current_state execute_command get_system_prompt
initialize is_cancel_requested last_error last_llm_request_id list_registered_tools list_sessions
load_session load_skills_from_memory local_models_json new_session oneshot_completion register_tool
remote_models_json request_tools save_session send_text_stream set_conversation_from_memory
set_host_llm_context set_identity_from_memory set_last_error_for_validation set_llm_override
set_soul_from_memory set_system_prompt set_tool_confirm_callback shutdown status_text unregister_tool
CoreSession ~CoreSession operator="

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u > "$tmp/raw"
status=0

# C functions: exactly the expected set.
grep -v '^_Z' "$tmp/raw" > "$tmp/c" || true
printf '%s\n' $expected_c | sort > "$tmp/c_expected"
if ! cmp -s "$tmp/c" "$tmp/c_expected"; then
    echo "C symbols differ from the 32 expected functions (< exported, > expected):"
    diff "$tmp/c" "$tmp/c_expected" || true
    status=1
fi

# C++ symbols: members of CoreSession only, never its implementation.
grep '^_Z' "$tmp/raw" | c++filt > "$tmp/cxx" || true
if grep -v '^vexa_core::CoreSession::' "$tmp/cxx" > "$tmp/foreign"; then
    echo "symbols that are not CoreSession members:"
    cat "$tmp/foreign"
    status=1
fi
if grep '^vexa_core::CoreSession::Impl' "$tmp/cxx"; then
    echo "the implementation class is exported (above)"
    status=1
fi
for m in $expected_methods; do
    if ! grep -q "^vexa_core::CoreSession::$m[[(]" "$tmp/cxx"; then
        echo "missing CoreSession member: $m"
        status=1
    fi
done

count_c=$(wc -l < "$tmp/c")
count_cxx=$(wc -l < "$tmp/cxx")
if [ $status -eq 0 ]; then
    echo "exports ok: $count_c C functions, $count_cxx CoreSession symbols"
fi
exit $status
