"""The subcommands of `velk`, one module each, behind the entry point
``velk.cli``:

- ``velk.commands.show``: every record as a line of JSON;
- ``velk.commands.report``: `stats` and `check`, from ``velk.survey``;
- ``velk.commands.levels``: `list`, `export` and `import`;
- ``velk.commands.common``: the options, output and messages they share;
- ``velk.commands.json_writer``: JSON written as it is made.

Each command module has `add(subparsers)`, which adds its parser, and a
`run(args, out, err)` that returns the exit status. Commands that take
several files handle each with a function of one file that returns a
picklable summary, and merge the summaries in the order of the files.
"""
