// Names of the instance fields, module globals and methods the facade shares across its concerns
// (contracts/ included): each interned string is declared here once.
#pragma once

#include "host/names.hpp"

namespace talvo::names {

// Instance fields, plain attributes beside the base renderer's.
inline host::Name model_path{"_model_path"};
inline host::Name model_hash{"_model_hash"};
inline host::Name stop_event{"_stop_event"};
inline host::Name thread{"_thread"};
inline host::Name frame_queue{"_frame_queue"};
inline host::Name running{"_running"};
inline host::Name loop{"_loop"};
inline host::Name frame_wait{"_frame_wait"};
inline host::Name start_gate{"_start_gate"};
inline host::Name producer_frame_count{"_producer_frame_count"};
inline host::Name producer_gen_time{"_producer_gen_time"};
inline host::Name interrupt_generation{"_interrupt_generation"};
inline host::Name interrupting{"_interrupting"};
inline host::Name interrupt_idle{"_interrupt_idle"};
inline host::Name speech_frames{"_speech_frames"};
inline host::Name interrupted_frames{"_interrupted_frames"};
inline host::Name played_seconds{"_played_seconds"};

// Methods and values more than one concern names.
inline host::Name start{"start"};
inline host::Name stop{"stop"};
inline host::Name is_alive{"is_alive"};
inline host::Name set_model{"set_model"};
inline host::Name get{"get"};
inline host::Name done{"done"};
inline host::Name time{"time"};  // `loop.time()`, and the module global below
inline host::Name velda{"velda"};
inline host::Name acquire{"acquire"};  // of `_start_gate`
inline host::Name release{"release"};
inline host::Name event{"Event"};  // `threading.Event`, and its methods below
inline host::Name set{"set"};
inline host::Name clear{"clear"};  // of an event, and of a list

// Module globals, looked up at each use so that patching them works.
inline host::Name g_stream_end{"_STREAM_END"};
inline host::Name g_threading{"threading"};
inline host::Name g_queue{"queue"};
inline host::Name& g_time = time;
inline host::Name g_path{"Path"};
inline host::Name g_video_control{"VideoControl"};
inline host::Name g_interruption{"Interruption"};
inline host::Name g_velda_not_supported{"VeldaModelNotSupported"};
inline host::Name g_peek_model_type{"_peek_model_type"};
inline host::Name g_reject_if_velda_model{"_reject_if_velda_model"};

}  // namespace talvo::names
