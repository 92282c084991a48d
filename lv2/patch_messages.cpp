#include "lv2/patch_messages.h"

#include <lv2/atom/util.h>
#include <lv2/patch/patch.h>

#include <algorithm>
#include <cstring>

namespace thumpa {

namespace {

// The object's property `key` when all of its value lies inside the event; null otherwise.
const LV2_Atom* property(EventAtom event, LV2_URID key) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(event.atom);
  std::uint64_t at = sizeof(LV2_Atom_Object);
  while (at + sizeof(LV2_Atom_Property_Body) <= event.size) {
    const auto* p = reinterpret_cast<const LV2_Atom_Property_Body*>(bytes + at);
    const std::uint64_t end = at + sizeof(LV2_Atom_Property_Body) + p->value.size;
    if (end > event.size) return nullptr;
    if (p->key == key) return &p->value;
    at += lv2_atom_pad_size(static_cast<std::uint32_t>(end - at));
  }
  return nullptr;
}

// The event as a patch message of type `otype`, bounded by what its sequence holds of it.
bool is_message(const PatchUrids& urids, EventAtom& event, LV2_URID otype) {
  if (event.size < sizeof(LV2_Atom_Object)) return false;
  const auto* object = reinterpret_cast<const LV2_Atom_Object*>(event.atom);
  if (object->atom.type != urids.atom_object && object->atom.type != urids.atom_blank) {
    return false;
  }
  if (sizeof(LV2_Atom) + std::uint64_t{object->atom.size} > event.size) return false;
  event.size = sizeof(LV2_Atom) + object->atom.size;
  return object->body.otype == otype;
}

bool is_kit(const PatchUrids& urids, const LV2_Atom* atom) {
  return atom != nullptr && atom->type == urids.atom_urid && atom->size >= sizeof(LV2_URID) &&
         reinterpret_cast<const LV2_Atom_URID*>(atom)->body == urids.kit;
}

}  // namespace

PatchUrids map_patch_urids(const LV2_URID_Map& map) {
  const auto id = [&map](const char* uri) { return map.map(map.handle, uri); };
  return {id(LV2_ATOM__Object),    id(LV2_ATOM__Blank),  id(LV2_ATOM__Path),
          id(LV2_ATOM__URID),      id(LV2_PATCH__Set),   id(LV2_PATCH__Get),
          id(LV2_PATCH__property), id(LV2_PATCH__value), id(KIT_URI)};
}

std::string_view kit_set(const PatchUrids& urids, EventAtom event) {
  if (!is_message(urids, event, urids.patch_set)) return {};
  if (!is_kit(urids, property(event, urids.patch_property))) return {};
  const LV2_Atom* value = property(event, urids.patch_value);
  if (value == nullptr || value->type != urids.atom_path) return {};
  const auto* text = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
  return std::string_view(text, strnlen(text, value->size));
}

bool kit_get(const PatchUrids& urids, EventAtom event) {
  if (!is_message(urids, event, urids.patch_get)) return false;
  const LV2_Atom* asked = property(event, urids.patch_property);
  return asked == nullptr || is_kit(urids, asked);
}

bool begin_notify(LV2_Atom_Forge& forge, LV2_Atom_Forge_Frame& sequence,
                  LV2_Atom_Sequence* notify) {
  // The host gives the port's capacity as its atom size.
  lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(notify), notify->atom.size);
  if (lv2_atom_forge_sequence_head(&forge, &sequence, 0) != 0) return true;
  lv2_atom_forge_set_buffer(&forge, nullptr, 0);
  return false;
}

bool notify_kit(LV2_Atom_Forge& forge, const PatchUrids& urids, std::string_view path) {
  // The whole event or none of it: its time, the object's header, the property as a URID and
  // the path with its terminating NUL, each padded to 8 bytes.
  const std::uint64_t bytes = 8 + sizeof(LV2_Atom_Object) + 2 * sizeof(LV2_Atom_Property_Body) + 8 +
                              lv2_atom_pad_size(static_cast<std::uint32_t>(path.size() + 1));
  if (forge.buf == nullptr || forge.size < forge.offset + bytes) return false;
  LV2_Atom_Forge_Frame object;
  lv2_atom_forge_frame_time(&forge, 0);
  lv2_atom_forge_object(&forge, &object, 0, urids.patch_set);
  lv2_atom_forge_key(&forge, urids.patch_property);
  lv2_atom_forge_urid(&forge, urids.kit);
  lv2_atom_forge_key(&forge, urids.patch_value);
  lv2_atom_forge_path(&forge, path.data(), static_cast<std::uint32_t>(path.size()));
  lv2_atom_forge_pop(&forge, &object);
  return true;
}

}  // namespace thumpa
