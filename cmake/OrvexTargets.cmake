# Helpers shared by every target that builds on the OrvexCore library.

function(orvex_optimise target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release>:-O3>)
endfunction()

# Links a program against OrvexCore. The JUCE modules are compiled into OrvexCore with the
# plug-in's configuration; consumers need the same include paths and definitions to read its
# headers, without compiling the modules a second time.
function(orvex_link_core target)
  target_link_libraries(${target} PRIVATE OrvexCore)
  target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:OrvexCore,INCLUDE_DIRECTORIES>)
  target_compile_definitions(${target} PRIVATE $<TARGET_PROPERTY:OrvexCore,COMPILE_DEFINITIONS>)
  target_compile_features(${target} PRIVATE cxx_std_17)
  orvex_optimise(${target})
endfunction()
