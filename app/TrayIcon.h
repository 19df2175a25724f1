#pragma once

#include <QIcon>

// The tray icon's picture, drawn by the program: two arrows, in and out.
QIcon VarnoIcon();
