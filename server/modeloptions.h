#pragma once

#include "modelclient.h"

class QCommandLineParser;

// The command line's say about summaries: --llm-url, --llm-model,
// --llm-key-file (or ZARNO_LLM_API_KEY), --llm-context, --llm-timeout.
void declareModelOptions(QCommandLineParser &parser);
// Fills `settings`; false (with a sentence printed) when an option is unusable.
[[nodiscard]] bool readModelOptions(const QCommandLineParser &parser, ModelSettings &settings);
// The help text's paragraph on summaries.
[[nodiscard]] QString modelHelp();
