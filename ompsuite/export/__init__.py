"""Every output is an export of a Study; nothing here reads back what the tools wrote.

Entry points for the commands:

    results.export_study(study, folder) -> names    a study folder's files in one loop: study.json,
                                                    runs.csv, summary.csv, machine.csv, summary.md,
                                                    crossovers.csv (with a sweep), results.json,
                                                    report.html and the plots; results.FILE_NAMES
                                                    lists every name
    results.summary_csv(summaries), results.markdown_table(study), results.results_json(study),
    results.report_page(study)                      one file's text (runsuite --csv, --markdown, --json,
                                                    --report)
    tables.terminal(summaries, modelled)            the table for a terminal (tables.markdown: all columns)
    plot.compare_plot(folder, studies, labels) -> names    compare.png and compare.svg

An exporter (results.Exporter) writes its files of a study into a folder and returns their names.
"""
