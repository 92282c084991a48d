// Writes one preset of the plugin (a .ttl in the bundle) from a kit's settings file, at build
// time: the kit's settings text as the state the plugin restores, and every control port at
// the value that shows the kit's field. A host applies both; with the ports equal to what
// restore() takes them to be, they change nothing of the kit. The preset's name is given in
// manifest.ttl.
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "files/settings_file.h"
#include "lv2/controls.h"

namespace thumpa {
namespace {

constexpr const char* HEADER = R"(@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .
@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .
@prefix state: <http://lv2plug.in/ns/ext/state#> .
@prefix xsd: <http://www.w3.org/2001/XMLSchema#> .

<urn:thumpa:lv2:drums#settings>
    a rdf:Property ;
    rdfs:label "Settings" ;
    rdfs:comment "The text of a settings file (.zog): every voice's record and shaping." .

<>
    a pset:Preset ;
    lv2:appliesTo <urn:thumpa:lv2:drums> ;
)";

// The plugin's state key of the settings text (lv2/plugin.cpp).
constexpr const char* SETTINGS_KEY = "<urn:thumpa:lv2:drums#settings>";

// Typed as a float, so that a host hands the port the very float: the shortest text that reads
// back as it.
std::string float_literal(float value) {
  char number[48];
  const auto end = std::to_chars(number, number + sizeof number, value, std::chars_format::fixed);
  return '"' + std::string(number, end.ptr) + "\"^^xsd:float";
}

std::string preset_text(const BankParams& params) {
  std::string text = HEADER;
  text += "    lv2:port ";
  const auto ports = control_ports();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    text += i == 0 ? "[\n" : " , [\n";
    text += "        lv2:symbol \"" + ports[i].symbol + "\" ;\n";
    text += "        pset:value " + float_literal(port_value(ports[i], params)) + "\n    ]";
  }
  // The settings text holds only section headers and signed numbers: nothing a Turtle long
  // string must escape.
  text += " ;\n    state:state [\n        ";
  text += SETTINGS_KEY;
  text += " \"\"\"" + settings_text(params) + "\"\"\"\n    ] .\n";
  return text;
}

}  // namespace
}  // namespace thumpa

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: thumpa-lv2-preset KIT.zog PRESET.ttl\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  std::stringstream kit;
  kit << in.rdbuf();
  if (!in || !thumpa::has_settings_header(kit.str())) {
    std::fprintf(stderr, "thumpa-lv2-preset: %s: not a settings file\n", argv[1]);
    return 1;
  }
  thumpa::BankParams params;
  thumpa::read_settings_text(kit.str(), params);
  std::ofstream out(argv[2]);
  out << thumpa::preset_text(params);
  out.close();
  if (!out) {
    std::fprintf(stderr, "thumpa-lv2-preset: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
