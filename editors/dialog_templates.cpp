#include "editors/dialog_templates.h"

namespace thumpa {

namespace {

using K = ControlKind;

// The drum voice form; the six captions and the title are relabelled per voice.
constexpr ControlTemplate EDIT_BOX_CONTROLS[] = {
    {1, K::default_button, "OK", 5, 151, 50, 14},
    {2, K::push_button, "Cancel", 60, 151, 50, 14},
    {1029, K::push_button, "Apply", 115, 151, 50, 14},
    {1030, K::static_text, "Edit1", 5, 5, 40, 8},
    {1031, K::static_text, "Edit2", 60, 5, 40, 8},
    {1032, K::static_text, "Edit3", 115, 5, 40, 8},
    {1033, K::static_text, "Edit4", 5, 30, 40, 8},
    {1034, K::static_text, "Edit5", 60, 30, 40, 8},
    {1035, K::static_text, "Edit6", 115, 30, 40, 8},
    {1036, K::edit_right, "", 5, 15, 40, 12},
    {1037, K::edit_right, "", 60, 15, 40, 12},
    {1038, K::edit_right, "", 115, 15, 40, 12},
    {1039, K::edit_right, "", 5, 40, 40, 12},
    {1040, K::edit_right, "", 60, 40, 40, 12},
    {1041, K::edit_right, "", 115, 40, 40, 12},
    {1057, K::static_text, "Mix", 5, 55, 15, 8},
    {1058, K::edit_left, "", 5, 65, 40, 14},
    // The two check boxes do not fit side by side in this width: one above the other.
    {1055, K::check_box, "Normalize before dist", 5, 81, 90, 10},
    {1056, K::check_box, "Normalize after dist", 5, 92, 90, 10},
    // Spaced so that no button's text or focus frame runs into the next.
    {1045, K::radio_first, "No dist", 5, 105, 39, 10},
    {1042, K::radio, "Apdist", 46, 105, 37, 10},
    {1043, K::radio, "Zogdist", 85, 105, 41, 10},
    {1044, K::radio, "Surdist", 128, 105, 39, 10},
    {1046, K::static_text, "Dist Level (0-1)", 5, 120, 48, 8},
    {1047, K::edit_right, "", 5, 130, 40, 12},
    {1059, K::push_button, "&Test", 115, 130, 50, 14},
};

// The Oscillator form; fixed, its title included.
constexpr ControlTemplate EDIT_OSC_BOX_CONTROLS[] = {
    {1, K::default_button, "OK", 5, 200, 50, 14},
    {2, K::push_button, "Cancel", 82, 200, 50, 14},
    {1029, K::push_button, "Apply", 159, 200, 50, 14},
    {1030, K::static_text, "Freq", 5, 5, 40, 8},
    {1076, K::edit_right, "", 5, 15, 40, 12},
    {1031, K::static_text, "Pulse Width", 60, 5, 40, 8},
    {1075, K::edit_right, "", 60, 15, 40, 12},
    {1070, K::radio_first, "Tri", 110, 10, 24, 10},
    {1072, K::radio, "Saw", 140, 15, 30, 10},
    {1071, K::radio, "Pulse", 172, 20, 34, 10},
    {1033, K::static_text, "Freq Hi", 5, 35, 40, 8},
    {1074, K::edit_right, "", 5, 45, 40, 12},
    {1034, K::static_text, "Freq Lo", 60, 35, 40, 8},
    {1073, K::edit_right, "", 60, 45, 40, 12},
    {1048, K::static_text, "Resonance", 115, 35, 40, 8},
    {1051, K::edit_right, "", 115, 45, 40, 12},
    {-1, K::static_text, "DCF", 5, 60, 15, 8},
    {1053, K::static_text, "Attack", 5, 70, 40, 8},
    {1054, K::edit_right, "", 5, 80, 40, 12},
    {1057, K::static_text, "Release", 60, 70, 40, 8},
    {1058, K::edit_right, "", 60, 80, 40, 12},
    {-1, K::static_text, "DCA", 5, 95, 16, 8},
    {1035, K::static_text, "Attack", 5, 105, 40, 8},
    {1077, K::edit_right, "", 5, 114, 40, 12},
    {1038, K::static_text, "Release", 115, 105, 40, 8},
    {1050, K::edit_right, "", 115, 115, 40, 12},
    {1055, K::check_box, "Normalize before dist", 5, 135, 90, 10},
    {1056, K::check_box, "Normalize after dist", 100, 135, 85, 10},
    {1045, K::radio_first, "No dist", 5, 150, 39, 10},
    {1042, K::radio, "Apdist", 46, 150, 37, 10},
    {1043, K::radio, "Zogdist", 85, 150, 41, 10},
    {1044, K::radio, "Surdist", 128, 150, 39, 10},
    {1046, K::static_text, "Dist Level (0-1)", 5, 165, 48, 8},
    {1047, K::edit_right, "", 5, 175, 40, 12},
    {1059, K::push_button, "&Test", 160, 175, 50, 14},
    {1039, K::static_text, "Sustain", 60, 105, 40, 8},
    {1052, K::edit_right, "", 60, 115, 40, 12},
};

}  // namespace

const DialogTemplate EDIT_BOX = {"EditBox", "Edit", 172, 172, EDIT_BOX_CONTROLS};
const DialogTemplate EDIT_OSC_BOX = {"EditOscBox", "Edit Oscillator", 217, 221,
                                     EDIT_OSC_BOX_CONTROLS};

}  // namespace thumpa
