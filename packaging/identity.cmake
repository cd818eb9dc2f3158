# The game's identity: every name a player or an operator sees, or that marks
# the game on disk and among the running programs. The build reads it once
# (GL_IDENTITY_FILE names this file by default) into one small library,
# gl_identity; nothing else in the source spells these names. For another
# game, copy this file, change the values and configure with
#   -DGL_IDENTITY_FILE=/path/to/its/identity.cmake
# A game's own launcher must be built with the same marker and pipe names.

# The folders below the per-user configuration and data folders:
# <config>/<vendor>/<game>/GameLauncher/ (the log), <data>/<vendor>/<game>/
# (the installed launcher). Letters, digits, '.', '_', '-' and blanks.
set(GL_IDENTITY_VENDOR "Keltora")
set(GL_IDENTITY_GAME "morvel3")
# The markers "this program runs" (also the window marks) and the launcher's
# pipe: letters, digits and '_'. The game's launcher holds the launcher marker
# and serves the pipe.
set(GL_IDENTITY_BOOTSTRAPPER_MARKER "MORVEL3_GAMELAUNCHER")
set(GL_IDENTITY_LAUNCHER_MARKER "MV3_LAUNCHER_KT")
set(GL_IDENTITY_PIPE "MV3_GAMELAUNCHER")
# The progress window's class name (what window managers group by).
set(GL_IDENTITY_WINDOW_CLASS "_GAMELAUNCHER_")
# The application name a crash report carries.
set(GL_IDENTITY_CRASH_APPLICATION "morvel3_launcher")
# The string table: the window title (id 103) and every warning text, one
# "<id> <text>" line each, UTF-8 (resources/strings.txt says which id is
# which).
set(GL_IDENTITY_STRINGS "${CMAKE_CURRENT_LIST_DIR}/../resources/strings.txt")
# The skin of the progress window: a folder with gamelauncher.xml and its
# pictures (resources/skin is the layout to follow), packed into the program
# at build time.
set(GL_IDENTITY_SKIN "${CMAKE_CURRENT_LIST_DIR}/../resources/skin")
