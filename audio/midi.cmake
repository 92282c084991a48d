# The MIDI byte parser and note map: plain C++ on the engine's types only, so the plugin and
# the sound servers' input paths can link it without SDL or a server library.
add_library(thumpa_midi STATIC ${CMAKE_CURRENT_LIST_DIR}/midi.cpp)
target_include_directories(thumpa_midi PUBLIC ${PROJECT_SOURCE_DIR})
