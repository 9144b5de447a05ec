# The systemd units, checked by systemd-analyze: run as a test with
#   -DUNIT_DIR=<dir with keldor.service, keldor@.service, keldor-web.service and
#   keldor-web@.service>
# Any complaint fails, warnings included (an unknown key is only a warning).
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(NOT SYSTEMD_ANALYZE)
  message("SKIPPED: systemd-analyze is not installed, the systemd units are not verified.")
  return()
endif()
# A template is verified through an instance of it.
configure_file(${UNIT_DIR}/keldor@.service ${UNIT_DIR}/keldor@verify.service COPYONLY)
configure_file(${UNIT_DIR}/keldor-web@.service ${UNIT_DIR}/keldor-web@verify.service COPYONLY)
foreach(unit keldor.service keldor@verify.service keldor-web.service keldor-web@verify.service)
  execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no ${UNIT_DIR}/${unit}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify ${unit} (status ${result}):\n${out}${err}")
  endif()
endforeach()
