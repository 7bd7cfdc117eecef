from tessaly.cli import run

run()
