# The probe runs the agent's own identity code inside the namespaces the tests make.
target_link_libraries(identity_probe PRIVATE tavrel_core)
