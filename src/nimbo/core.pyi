"""Módulo Python"""

from typing import Final, final

__all__ = ["Component", "Renderer", "__version__"]

__version__: Final[str]

@final
class Component:
    """Wrapper PyClass LEVE - só guarda o ID do componente
    O componente real fica no armazenamento global Kelo"""

    @property
    def id_(self) -> str:
        """Propriedade id_"""

    @property
    def busses(self) -> dict[str, str]:
        """Propriedade busses - retorna Dict[str, str] com valores"""

    def get_values(self) -> dict[str, str]:
        """Retorna todos os valores como dicionário"""

    def update_signals(self, new_values: dict[str, str]) -> None:
        """Atualiza sinais com novos valores e estabiliza"""

    def update_and_get(self, new_values: dict[str, str]) -> dict[str, str]:
        """Atualiza e retorna valores em uma chamada"""

@final
class Renderer:
    """Wrapper PyClass para Renderer"""

    def __new__(cls, ir: str) -> "Renderer": ...
    @property
    def component(self) -> Component:
        """Obtém o componente renderizado - move para armazenamento global"""
