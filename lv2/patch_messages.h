// The plugin's one file parameter, the kit, as LV2 patch messages: a host sets it with a
// patch:Set on midi_in, asks for it with a patch:Get, and learns it from a patch:Set on the
// notify port. Real-time: reading and writing messages never allocates.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <string_view>

namespace thumpa {

inline constexpr const char* KIT_URI = "urn:thumpa:lv2:drums#kit";

struct PatchUrids {
  LV2_URID atom_object = 0;
  LV2_URID atom_blank = 0;  // what older hosts call an object
  LV2_URID atom_path = 0;
  LV2_URID atom_urid = 0;
  LV2_URID patch_set = 0;
  LV2_URID patch_get = 0;
  LV2_URID patch_property = 0;
  LV2_URID patch_value = 0;
  LV2_URID kit = 0;
};

PatchUrids map_patch_urids(const LV2_URID_Map& map);

// An event's atom with the bytes of it that lie inside its sequence (`size` counts the atom's
// header): a message is only taken when all of it is there.
struct EventAtom {
  const LV2_Atom* atom;
  std::uint64_t size;
};

// The path of a patch:Set of the kit; empty for any other event.
std::string_view kit_set(const PatchUrids& urids, EventAtom event);

// True for a patch:Get of the kit or of every parameter.
bool kit_get(const PatchUrids& urids, EventAtom event);

// Starts the notify port's sequence for this run(); false, and nothing to end with
// lv2_atom_forge_pop, when the port cannot even hold an empty sequence.
bool begin_notify(LV2_Atom_Forge& forge, LV2_Atom_Forge_Frame& sequence, LV2_Atom_Sequence* notify);

// Adds a patch:Set of the kit at the block's first frame; false when the port has no room.
bool notify_kit(LV2_Atom_Forge& forge, const PatchUrids& urids, std::string_view path);

}  // namespace thumpa
