# The tests the Windows build leaves out (see Windows.cmake for why). The
# Linux build checks, when it is configured, that every test of the Linux
# tools is here: a test that includes a tool's header (other than the
# simulator's, cross-built for sim_test) or a library only the tools link.
set(TQ_WIN_EXCLUDED platform_posix_test fault_test endurance_test tools_test tq_filter_test tq_capture_test
  tq_tools_test tq_files_test stroke_model_test board_area_test export_test replay_test text_number_test
  pen_test pen_tool_test serve_test serve_hub_test serve_limits_test fleet_test calibrate_show_test)
