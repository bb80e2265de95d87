// The commands of the `tq` tool; each takes its own argv (argv[0] is the
// command name) and returns the process exit code.
#pragma once

int RunProbeCommand(int argc, char** argv);
int RunFindCommand(int argc, char** argv);
int RunFilterCommand(int argc, char** argv);
int RunLiveCommand(int argc, char** argv);
int RunReplayCommand(int argc, char** argv);
int RunInfoCommand(int argc, char** argv);
int RunDumpCommand(int argc, char** argv);
int RunRenderCommand(int argc, char** argv);
int RunPenCommand(int argc, char** argv);
int RunCalibrateCommand(int argc, char** argv);
int RunExportCommand(int argc, char** argv);
int RunServeCommand(int argc, char** argv);
int RunPublishCommand(int argc, char** argv);
int RunArchiveCommand(int argc, char** argv);
