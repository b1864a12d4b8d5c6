#include "sound_model.h"

namespace zelta {

// Not modelled yet: heard from the first key-on.
std::unique_ptr<VoiceModel> MakeOpnFm(std::int32_t type, double) { return MakeHeardFromKeyOn(type); }
std::unique_ptr<VoiceModel> MakeOpmFm(double) { return MakeHeardFromKeyOn(kTypeOpm); }

}  // namespace zelta
