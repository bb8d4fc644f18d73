"""The suite's tools: run the programs, check and summarise what they print, model and plot it
(README.md, docs/commands.md). Standard library only."""
