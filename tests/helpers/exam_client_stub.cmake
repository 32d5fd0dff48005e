# A windowless program on Windows: started through the shell it must not open a console.
if(WIN32)
  set_target_properties(exam_client_stub PROPERTIES WIN32_EXECUTABLE TRUE)
  target_link_libraries(exam_client_stub PRIVATE shell32)
endif()
