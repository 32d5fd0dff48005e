target_link_options(acl_probe PRIVATE -municode)
target_link_libraries(acl_probe PRIVATE advapi32)
