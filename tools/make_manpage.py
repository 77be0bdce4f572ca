"""Build step: write quorvane(1) from the command line's parser.

    make_manpage.py PYTHON_SOURCE_DIR MODULE_DIR OUTPUT

The package is imported from the source folder, with the extension modules
just built (in MODULE_DIR) added to it, so the page describes exactly the
parser being installed."""
import sys


def main() -> None:
    source, modules, output = sys.argv[1:4]
    sys.path.insert(0, source)
    import quorvane

    quorvane.__path__.append(modules)
    from quorvane import __version__
    from quorvane.cli.manual import full_parser, man_page

    # The page must not depend on the configuration of the machine that builds it.
    from quorvane import config
    config.activate(config.Config())
    with open(output, "w", encoding="utf-8") as f:
        f.write(man_page(full_parser(), __version__))


if __name__ == "__main__":
    main()
