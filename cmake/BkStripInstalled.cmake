# Install step: removes the debug information from the PE files just
# installed (_bk_shipped, paths below the prefix) with _bk_strip. The unwind
# tables (.eh_frame) and the symbol table stay.
foreach(file ${_bk_shipped})
  set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${file}")
  execute_process(COMMAND ${_bk_strip} --strip-debug ${path} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot strip ${path}")
  endif()
endforeach()
