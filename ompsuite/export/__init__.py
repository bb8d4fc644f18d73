"""Every output is an export of a Study (results.export_study writes a study folder's files, each
exporter one or more of them); nothing here reads back what the tools wrote, but compare."""
