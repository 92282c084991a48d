# Renders the default bank with thumpa-render and checks every WAV file against its golden
# SHA-256, then checks that a single voice written with --wav is the same file.
# Run as: cmake -DRENDER=<thumpa-render> -DWORK=<scratch dir> -P render_golden.cmake
set(golden
  kick.wav     68005eb45c97629a5a063e5b3b295bbacb3461af5de83ec81629d89323470d8a
  snare1.wav   94854c6beb8dea8b76f3b88879028992b72b4db54c08c1b2893618c01a781e55
  ch.wav       bba5926bbf9766e1eb67652522e857f4ff120daab793fc1e3c41fdad68834a64
  oh.wav       b1de97394bea2d9574f9597d7cca1326a4f30812e00dd6ee4087ebe7ca4dee1a
  blipp.wav    149955c17469823cbdfd6bb00ac2989e3b1ec9075729f91dabc72d55dc43b92e
  clave.wav    d30f14f81172a06165b7f669a18eadad65db2ff53b4bfe91240002d02aa5a4f5
  cowbell.wav  ffb041c14ad9b800930da30f80286b77a6d21e6f329844567c1bf2a552d07f01
  osc.wav      6a839feb7d7a6ab2d3e669525452ff8fb58fe16c5da674da1764cabe0b4d495e
)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${RENDER} --out ${WORK}/bank RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "thumpa-render --out failed: ${rc}")
endif()
while(golden)
  list(POP_FRONT golden name sum)
  file(SHA256 ${WORK}/bank/${name} actual)
  if(NOT actual STREQUAL sum)
    message(FATAL_ERROR "${name}: ${actual}, expected ${sum}")
  endif()
endwhile()
execute_process(COMMAND ${RENDER} --voice kick --wav ${WORK}/kick.wav RESULT_VARIABLE rc)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/kick.wav ${WORK}/bank/kick.wav
                RESULT_VARIABLE differ)
if(NOT rc EQUAL 0 OR NOT differ EQUAL 0)
  message(FATAL_ERROR "--voice kick --wav differs from the bank's kick.wav")
endif()
