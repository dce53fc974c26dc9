# fk_embed(<target> <symbol> <input file>)
# Turns a binary file into a C++ source defining
#   extern const unsigned char <symbol>[]; extern const std::size_t <symbol>_size;
# and adds it to <target>. The file is re-embedded whenever it changes.
function(fk_embed target symbol input)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/embed_${symbol}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND fk_embed_tool ${symbol} ${input} ${out}
    DEPENDS fk_embed_tool ${input}
    COMMENT "Embedding ${symbol}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  # A custom command's output has a build rule only for targets of the same
  # directory; this target carries it when fk_embed is called from a
  # subdirectory (resources/<sub>/CMakeLists.txt).
  add_custom_target(fk_embed_${symbol} DEPENDS ${out})
  add_dependencies(${target} fk_embed_${symbol})
endfunction()
