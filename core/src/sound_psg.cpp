#include "sound_model.h"

namespace zelta {

// Not modelled yet: heard from the first key-on.
std::unique_ptr<VoiceModel> MakeSsg(std::int32_t type, double) { return MakeHeardFromKeyOn(type); }
std::unique_ptr<VoiceModel> MakeOpnaRhythm(double) { return MakeHeardFromKeyOn(kTypeOpna); }
std::unique_ptr<VoiceModel> MakeOpnaAdpcm(double) { return MakeHeardFromKeyOn(kTypeOpna); }
std::unique_ptr<VoiceModel> MakeDcsg(double) { return MakeHeardFromKeyOn(kTypeDcsg); }

}  // namespace zelta
