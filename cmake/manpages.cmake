# SPDX-License-Identifier: MIT
# Manual pages are installed compressed, as Debian wants them.
function(kdx7400_install_manpages component)
  # Make, unlike Ninja, creates no output folders of its own.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  set(outputs)
  foreach(page IN LISTS ARGN)
    get_filename_component(page ${page} ABSOLUTE)
    get_filename_component(name ${page} NAME)
    string(REGEX MATCH "[0-9]$" section ${name})
    set(compressed ${CMAKE_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${page} ${compressed}
      DEPENDS ${page} VERBATIM)
    list(APPEND outputs ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endforeach()
  add_custom_target(manpages-${component} ALL DEPENDS ${outputs})
endfunction()
