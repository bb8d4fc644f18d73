"""The command-line layer: each module parses its command's options into an Options value and
hands it to the core modules. Nothing below this layer parses arguments or exits."""
