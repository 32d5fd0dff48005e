if(WIN32)
  set_target_properties(versioned_stub PROPERTIES WIN32_EXECUTABLE TRUE)
endif()
