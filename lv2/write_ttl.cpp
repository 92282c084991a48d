// Writes the plugin's description (thumpa.ttl) from the control table, at build time.
#include <charconv>
#include <cstdio>
#include <fstream>
#include <string>

#include "lv2/controls.h"

namespace thumpa {
namespace {

constexpr const char* HEADER = R"(@prefix atom: <http://lv2plug.in/ns/ext/atom#> .
@prefix doap: <http://usefulinc.com/ns/doap#> .
@prefix foaf: <http://xmlns.com/foaf/0.1/> .
@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix log: <http://lv2plug.in/ns/ext/log#> .
@prefix midi: <http://lv2plug.in/ns/ext/midi#> .
@prefix patch: <http://lv2plug.in/ns/ext/patch#> .
@prefix pg: <http://lv2plug.in/ns/ext/port-groups#> .
@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .
@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .
@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .
@prefix state: <http://lv2plug.in/ns/ext/state#> .
@prefix urid: <http://lv2plug.in/ns/ext/urid#> .
@prefix work: <http://lv2plug.in/ns/ext/worker#> .

)";

// The kit: a settings file the desktop program saved, loaded into a running instance.
constexpr const char* KIT_PARAMETER = R"(<urn:thumpa:lv2:drums#kit>
    a lv2:Parameter ;
    rdfs:label "Kit" ;
    rdfs:comment "A settings file (.zog) of the desktop program: every voice is made from it." ;
    rdfs:range atom:Path .

)";

constexpr const char* PLUGIN = R"(<urn:thumpa:lv2:drums>
    a lv2:Plugin, lv2:InstrumentPlugin, doap:Project ;
    doap:name "Thumpa" ;
    doap:maintainer [ foaf:name "Thumpa developers" ] ;
    rdfs:comment "The eight drum voices of Thumpa, played from MIDI notes, bit for bit as the program renders them." ;
    lv2:requiredFeature urid:map, work:schedule ;
    lv2:optionalFeature lv2:hardRTCapable, log:log ;
    lv2:extensionData work:interface, state:interface ;
    patch:writable <urn:thumpa:lv2:drums#kit> ;
    lv2:port [
        a lv2:InputPort, atom:AtomPort ;
        atom:bufferType atom:Sequence ;
        atom:supports midi:MidiEvent, patch:Message ;
        lv2:designation lv2:control ;
        lv2:index 0 ;
        lv2:symbol "midi_in" ;
        lv2:name "MIDI in"
    ], [
        a lv2:OutputPort, lv2:AudioPort ;
        lv2:index 1 ;
        lv2:symbol "out_left" ;
        lv2:name "Left"
    ], [
        a lv2:OutputPort, lv2:AudioPort ;
        lv2:index 2 ;
        lv2:symbol "out_right" ;
        lv2:name "Right"
    ])";

// The shortest text that reads back as the same float, as a Turtle number.
std::string number(float value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string quoted(const char* text) {
  return std::string("\"") + text + "\"";
}

std::string control_port(const ControlPort& port, std::uint32_t index, float default_value) {
  std::string t = ", [\n        a lv2:InputPort, lv2:ControlPort ;\n";
  t += "        lv2:index " + std::to_string(index) + " ;\n";
  t += "        lv2:symbol " + quoted(port.symbol.c_str()) + " ;\n";
  t += "        lv2:name " + quoted(port.name.c_str()) + " ;\n";
  t += std::string("        pg:group <urn:thumpa:lv2:drums#") + voice_group(port.voice).symbol +
       "> ;\n";
  t += "        lv2:default " + number(default_value) + " ;\n";
  t += "        lv2:minimum " + number(port.minimum) + " ;\n";
  t += "        lv2:maximum " + number(port.maximum);
  switch (port.kind) {
    case ControlKind::integer:
      t += " ;\n        lv2:portProperty lv2:integer";
      break;
    case ControlKind::toggle:
      t += " ;\n        lv2:portProperty lv2:toggled";
      break;
    case ControlKind::choice:
      t += " ;\n        lv2:portProperty lv2:integer, lv2:enumeration";
      for (const ScalePoint& point : scale_points(port)) {
        t += " ;\n        lv2:scalePoint [ rdfs:label " + quoted(point.label.c_str()) +
             " ; rdf:value " + std::to_string(point.value) + " ]";
      }
      break;
    case ControlKind::fraction:
    case ControlKind::unsigned_fraction:
      if (port.field->control.logarithmic) t += " ;\n        lv2:portProperty pprops:logarithmic";
      break;
  }
  return t + "\n    ]";
}

// A switch of how notes play, on by default.
std::string toggle(std::uint32_t index, const char* symbol, const char* name) {
  return ", [\n        a lv2:InputPort, lv2:ControlPort ;\n        lv2:index " +
         std::to_string(index) + " ;\n        lv2:symbol " + quoted(symbol) +
         " ;\n        lv2:name " + quoted(name) +
         " ;\n        lv2:default 1 ;\n        lv2:minimum 0 ;\n        lv2:maximum 1 ;\n" +
         "        lv2:portProperty lv2:toggled\n    ]";
}

std::string description() {
  std::string t = HEADER;
  for (const VoiceGroup& group : voice_groups()) {
    const std::string uri = std::string("<urn:thumpa:lv2:drums#") + group.symbol;
    // Hosts head a group with its lv2:name, some with its rdfs:label: both are given.
    const std::string names =
        " ;\n    lv2:name " + quoted(group.label) + " ;\n    rdfs:label " + quoted(group.label);
    t += uri + ">\n    a pg:InputGroup ;\n" + "    lv2:symbol " + quoted(group.symbol) + names +
         " .\n\n";
    // The voice alone, made from its controls.
    t += uri + "_out>\n    a pg:OutputGroup, pg:MonoGroup ;\n" + "    lv2:symbol \"" +
         group.symbol + "_out\"" + names + " ;\n    pg:source " + uri + "> .\n\n";
  }
  t += KIT_PARAMETER;
  t += PLUGIN;
  const BankParams defaults;
  std::uint32_t index = FIRST_CONTROL_PORT;
  for (const ControlPort& port : control_ports()) {
    t += control_port(port, index++, port_value(port, defaults));
  }
  t += ", [\n        a lv2:OutputPort, atom:AtomPort ;\n        atom:bufferType atom:Sequence ;\n"
       "        atom:supports patch:Message ;\n        lv2:designation lv2:control ;\n"
       "        lv2:portProperty lv2:connectionOptional ;\n"
       "        lv2:index " +
       std::to_string(PORT_NOTIFY) +
       " ;\n"
       "        lv2:symbol \"notify\" ;\n        lv2:name \"Notify\"\n    ]";
  index = FIRST_VOICE_OUT_PORT;
  for (VoiceId voice : VOICE_OUTPUT_ORDER) {
    const VoiceGroup& group = voice_group(voice);
    t += ", [\n        a lv2:OutputPort, lv2:AudioPort ;\n        lv2:index " +
         std::to_string(index++) + " ;\n        lv2:symbol " + quoted(group.symbol) +
         " ;\n        lv2:name " + quoted(group.label) +
         " ;\n        lv2:portProperty lv2:connectionOptional ;\n" +
         "        pg:group <urn:thumpa:lv2:drums#" + group.symbol + "_out> ;\n" +
         "        lv2:designation pg:center\n    ]";
  }
  t += toggle(PORT_VELOCITY, "velocity", "Velocity");
  t += toggle(PORT_CHOKE, "choke", "Hi-hat choke");
  return t + " .\n";
}

}  // namespace
}  // namespace thumpa

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: thumpa-lv2-ttl OUTPUT\n");
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << thumpa::description();
  out.close();
  if (!out) {
    std::fprintf(stderr, "thumpa-lv2-ttl: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
