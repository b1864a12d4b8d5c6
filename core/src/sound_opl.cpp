#include "sound_model.h"

namespace zelta {

// Not modelled yet: heard from the first key-on.
std::unique_ptr<VoiceModel> MakeOplFamily(std::int32_t type, double) { return MakeHeardFromKeyOn(type); }

}  // namespace zelta
